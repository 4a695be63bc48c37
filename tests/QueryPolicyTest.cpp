#include "VeskDNSCore/QueryPolicy.hpp"

#include <gtest/gtest.h>

#include "tests/support/DnsTestUtil.hpp"

namespace vesk {
namespace {

using Kind = Decision::Kind;
using test::query;

TEST(QueryPolicy, DecidesInItsFixedOrder) {
    const Blocklist listed(std::vector<std::string>{"dns.google", "google.com", "adult.example",
                                                    "resolver.arpa"});
    const Blocklist empty(std::vector<std::string>{});
    DnsMessage::Bytes noClass = query(1, "bing.com");
    noClass.resize(noClass.size() - 2);
    DnsMessage::Bytes pointer = test::headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1});
    const struct {
        const char* what;
        const Blocklist& list;
        DnsMessage::Bytes query;
        Kind kind;
        const char* name;
        std::string_view target = {};
    } cases[] = {
        {"a DoH host that is also listed", listed, query(1, "dns.google"), Kind::dohBypass, "dns.google"},
        {"a relay host", empty, query(1, "MASK.icloud.com"), Kind::privateRelayBypass, "mask.icloud.com"},
        {"discovery, under a listed name", listed, query(1, "_dns.resolver.arpa", 64),
         Kind::resolverDiscovery, "_dns.resolver.arpa"},
        {"under discovery", listed, query(1, "a._dns.resolver.arpa"), Kind::resolverDiscovery,
         "a._dns.resolver.arpa"},
        {"beside discovery", listed, query(1, "not_dns.resolver.arpa"), Kind::blocked,
         "not_dns.resolver.arpa"},
        {"listed beats safe search", listed, query(1, "www.google.com"), Kind::blocked, "www.google.com"},
        {"under a listed name", listed, query(1, "cdn.Adult.Example."), Kind::blocked, "cdn.adult.example"},
        {"not listed", empty, query(1, "adult.example"), Kind::forward, "adult.example"},
        {"safe search", empty, query(1, "WWW.Bing.com"), Kind::safeSearch, "www.bing.com",
         "strict.bing.com"},
        {"safe search without a class to answer", empty, noClass, Kind::forward, "bing.com"},
        {"DoH with an empty list", empty, query(1, "dns.google"), Kind::dohBypass, "dns.google"},
        {"anything else", listed, query(1, "example.org", 1, true), Kind::forward, "example.org"},
        {"a pointer in the question", listed, pointer, Kind::unreadable, "(none)"},
        {"five bytes", listed, {0x71, 0x03, 0x01, 0x00, 0x00}, Kind::unreadable, "(none)"},
    };
    for (const auto& c : cases) {
        Decision decision = QueryPolicy(c.list).decide(c.query);
        EXPECT_EQ(decision.kind, c.kind) << c.what;
        EXPECT_EQ(decision.question ? decision.name().text() : "(none)", c.name) << c.what;
        EXPECT_EQ(decision.safeSearchTarget, c.target) << c.what;
    }
}

}  // namespace
}  // namespace vesk
