#include "VeskDNSCore/HostTables.hpp"

#include <gtest/gtest.h>

#include "VeskDNSCore/Blocklist.hpp"

namespace vesk {
namespace {

TEST(HostTables, DoHAndRelayHosts) {
    const struct {
        const char* name;
        bool doh, relay;
    } cases[] = {
        {"DNS.Google.", true, false},           {"mozilla.cloudflare-dns.com", true, false},
        {"quad9.net", false, false},            // an entry does not cover its parent
        {"use-application-dns.net", true, false}, {"MASK-H2.icloud.com.", false, true},
        {"mask.apple-dns.net", false, true},    {"mask-t.aaplimg.com", false, true},
        {"mask42.icloud.com", false, true},     {"x.mask.icloud.com", false, true},
        {"maskerade.example.com", false, false}, {"mask.apple-dns.net.evil.com", false, false},
        {"maskicloud.com", false, false},       {"gateway.icloud.com", false, false},
        {"a.doh.dns.apple.com", false, true},   {"xdoh.dns.apple.com", false, false},
        {"doh.dns.apple.com.v.aaplimg.com", false, true}, {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HostTables::isDoHBypass(DomainName(c.name)), c.doh) << c.name;
        EXPECT_EQ(HostTables::isPrivateRelayBypass(DomainName(c.name)), c.relay) << c.name;
    }
}

TEST(HostTables, NeverBlockNamesAndWhatIsUnderThemCannotBeListed) {
    for (auto name : HostTables::neverBlock()) {
        // Nor can a listed parent block one: the blocklist relies on every parent of a
        // never-block name being one itself.
        std::vector<std::string> lines = {std::string(name), "sub." + std::string(name)};
        NameWalk walk(name);
        for (const auto& parent : walk) lines.emplace_back(parent.name());
        Blocklist list(lines);
        EXPECT_FALSE(list.contains(DomainName(name))) << name;
        EXPECT_FALSE(list.contains(DomainName("x.sub." + std::string(name)))) << name;
        EXPECT_TRUE(HostTables::isNeverBlock(NameWalk("x.y." + std::string(name)))) << name;
    }
    EXPECT_FALSE(HostTables::isNeverBlock(NameWalk("apple.com.evil.example")));
}

}  // namespace
}  // namespace vesk
