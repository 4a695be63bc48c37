#include "VeskDNSCore/DomainName.hpp"

#include <gtest/gtest.h>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/HostTables.hpp"
#include "VeskDNSCore/NameSet.hpp"
#include "VeskDNSCore/SafeSearch.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {
namespace {

using Names = std::vector<std::string>;

// (Case, composition and the trailing dot are also seen through the blocklist below.)
TEST(DomainName, NormalisedOnceLowerCaseWithoutOneTrailingDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.b..", "a.b."}, {".", ""}, {"@[`{AZaz09", "@[`{azaz09"},  // the bytes around the letters stay
        {std::string(300, 'X') + ".", std::string(300, 'x')}, {"ABCDEFG\u00c9HIJKLMNOP", "abcdefg\u00e9hijklmnop"},
    };
    for (const auto& [raw, want] : cases) EXPECT_EQ(DomainName(raw).view(), want) << raw;
}

TEST(DomainName, AtOrUnderRespectsLabelBoundaries) {
    const std::pair<const char*, bool> cases[] = {
        {"_dns.resolver.arpa", true}, {"a.b._dns.resolver.arpa", true},
        {"not_dns.resolver.arpa", false}, {"resolver.arpa", false}, {"", false},
    };
    for (const auto& [name, under] : cases) EXPECT_EQ(DomainName(name).isAtOrUnder("_dns.resolver.arpa"), under) << name;
}

Names walked(std::string_view name) {
    Names seen;
    NameWalk walk(name);
    for (const auto& candidate : walk) seen.emplace_back(candidate.name());
    return seen;
}

TEST(NameSet, ParentWalkTestsEveryParentDownToTwoLabels) {
    const std::pair<const char*, Names> cases[] = {
        {"a.b.c.com", {"a.b.c.com", "b.c.com", "c.com"}},
        {"a..b.c.com", {"a..b.c.com", "b.c.com", "c.com"}},  // empty labels dropped from parents
        {"x.y.com.", {"x.y.com.", "y.com"}},
        {".y.com", {".y.com"}}, {"", {}},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(walked(name), expected) << name;
    // Past the inline room: a name of 40 labels has 39 candidates, the whole name first.
    std::string deep = "l0";
    for (int i = 1; i < 40; ++i) deep += ".l" + std::to_string(i);
    auto many = walked(deep);
    ASSERT_EQ(many.size(), 39u);
    EXPECT_EQ(many.front(), deep);
    EXPECT_EQ(many.back(), "l38.l39");
}

TEST(NameSet, KeepsEveryNameItGrowsFor) {
    NameSet set(2);
    for (int i = 0; i < 5000; ++i) EXPECT_TRUE(set.insert("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.insert("n7.example"));
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(set.contains("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.contains("n7.exampl"));

    // Names of 40-62 bytes leave no bucket room for another long one before the table is
    // full by bytes; longer ones live outside the buckets. Each must still be placed and found.
    NameSet longNames(1);
    Names names = {std::string(300, 'a') + ".com"};
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::string(static_cast<size_t>(40 + i % 23), static_cast<char>('a' + i % 26)) +
                        std::to_string(i));
        names.back().resize(std::min<size_t>(names.back().size(), 62));
    }
    for (const auto& name : names) ASSERT_TRUE(longNames.insert(name)) << name;
    for (const auto& name : names) EXPECT_TRUE(longNames.contains(name)) << name;
    EXPECT_FALSE(longNames.contains(names[0].substr(1)));
}

TEST(HostTables, DoHAndRelayHosts) {
    const struct {
        const char* name;
        bool doh, relay;
    } cases[] = {
        {"DNS.Google.", true, false},           {"mozilla.cloudflare-dns.com", true, false},
        {"quad9.net", false, false},            // an entry does not cover its parent
        {"MASK-H2.icloud.com.", false, true},   {"x.mask.icloud.com", false, true},
        {"mask42.icloud.com", false, true},     {"maskerade.example.com", false, false},
        {"mask.apple-dns.net.evil.com", false, false}, {"a.doh.dns.apple.com", false, true},
        {"xdoh.dns.apple.com", false, false},   {"doh.dns.apple.com.v.aaplimg.com", false, true}, {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HostTables::isDoHBypass(DomainName(c.name)), c.doh) << c.name;
        EXPECT_EQ(HostTables::isPrivateRelayBypass(DomainName(c.name)), c.relay) << c.name;
    }
}

TEST(SafeSearch, TargetsForListedNamesOnly) {
    const std::optional<std::string_view> google = "forcesafesearch.google.com", none;
    const std::pair<const char*, std::optional<std::string_view>> cases[] = {
        {"WWW.Google.CO.UK.", google}, {"google.co.uk.ac", none}, {"images.google.com", none},  // listed ones only
        {"www.m.youtube.com", "restrictmoderate.youtube.com"}, {"www.www.youtube.com", none}, {"www.", none},
        {"www.duckduckgo.com", "safe.duckduckgo.com"}, {"strict.bing.com", none},  // a target never rewrites again
    };
    for (const auto& [name, target] : cases) EXPECT_EQ(SafeSearch::target(DomainName(name)), target) << name;
}

bool blocks(const Blocklist& list, std::string_view name) { return list.contains(DomainName(name)); }

TEST(Blocklist, FileFormatRules) {
    test::TempDir dir;
    Blocklist list(dir.write("list.txt",
                             "\xEF\xBB\xBF  Example.COM \n"  // after a byte-order mark
                             "\n# comment.com\n.leading.com\nnodot\n"
                             "a.b.deep.net\r\n"  // CR of a CRLF file is trimmed
                             "example.com\n"     // duplicate after lower-casing
                             "0.0.0.0 hosts.com\n*.wild.com\ntrailing.org.\n"
                             "apple.com\ncdn.icloud.com\n"   // never-block, and under one
                             "\t\u00a0spaced.io\u2003\n"     // Unicode blanks (a zero-width space is none)
                             "\u00c9COLE.fr\ne\u0301cole.fr\n"  // one name, composed or not
                             "last.net"));                   // no final newline
    // example.com, a.b.deep.net, the hosts line, the wildcard, trailing.org., spaced.io,
    // école.fr, last.net
    EXPECT_EQ(list.count(), 8u);
    const std::pair<const char*, bool> cases[] = {
        {"example.com", true},       {"EXAMPLE.com.", true},    {"www.example.com", true},
        {"a.b.c.example.com", true},  // four labels below, through the parent walk
        {"x.a.b.deep.net", true},    {"b.deep.net", false},     // an entry does not block its parent
        {"hosts.com", false},        {"x.wild.com", false},     // verbatim lines never match
        {"trailing.org", false},     {"trailing.org..", true},  // one dot stripped: the entry itself
        {"spaced.io", true},         {"last.net", true},        {"www.\u00c9cole.FR.", true},
        {"nodot", false},            {"com", false},            {"", false},
        {".", false},                {"apple.com", false},      {"cdn.icloud.com", false},
    };
    for (const auto& [name, blocked] : cases) EXPECT_EQ(blocks(list, name), blocked) << name;
    // Listed names at or below a domain, those kept outside the buckets included.
    Blocklist deep(Names{"a.b.deep.net", std::string(70, 'a') + ".long.org"});
    const std::pair<const char*, bool> under[] = {
        {"deep.net", true}, {"a.b.deep.net", true}, {"x.a.b.deep.net", false}, {"eep.net", false},
        {"long.org", true}, {"org", true},          {"io", false},
    };
    for (const auto& [domain, listed] : under) EXPECT_EQ(deep.listsAtOrUnder(DomainName(domain)), listed) << domain;
    // A file that is not UTF-8 (an encoded surrogate here), or cannot be read, lists nothing.
    for (const auto& bad : {Blocklist(dir.write("bad", "bad.com\n\xed\xa0\x80.com\n")), Blocklist(dir.path())}) {
        EXPECT_EQ(bad.count(), 0u);
        EXPECT_FALSE(blocks(bad, "bad.com"));
    }
}

}  // namespace
}  // namespace vesk
