#include "VeskDNSCore/Blocklist.hpp"

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace vesk {
namespace {

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
                             "\t\u00a0spaced.io\u2003\n"     // Unicode blanks
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
}

TEST(Blocklist, NeverBlockNamesCannotBeListed) {
    Blocklist list(std::vector<std::string>{"apple.com", "b.apple.com", "PUSH.apple.com",
                                            "x.supabase.co", "evil.net", "mzstatic.com.example"});
    EXPECT_EQ(list.count(), 2u);
    EXPECT_TRUE(blocks(list, "x.evil.net"));
    EXPECT_TRUE(blocks(list, "mzstatic.com.example"));  // only looks like one
    EXPECT_FALSE(blocks(list, "is1-ssl.mzstatic.com"));
}

TEST(Blocklist, ListsAtOrUnderFindsListedNamesBelowADomain) {
    std::string longName = std::string(70, 'a') + ".long.org";  // kept outside the buckets
    Blocklist list(std::vector<std::string>{"a.b.deep.net", "plain.com", longName});
    const std::pair<const char*, bool> cases[] = {
        {"deep.net", true}, {"b.deep.net", true}, {"a.b.deep.net", true}, {"x.a.b.deep.net", false},
        {"eep.net", false}, {"com", true},        {"ain.com", false},     {"long.org", true},
        {"org", true},      {"io", false},
    };
    for (const auto& [domain, listed] : cases) EXPECT_EQ(list.listsAtOrUnder(DomainName(domain)), listed) << domain;
}

TEST(Blocklist, EmptyOrUnreadableFilesBlockNothing) {
    test::TempDir dir;
    for (const auto& list : {Blocklist(dir.write("a", "")), Blocklist(dir.write("b", "# only\n#c.com\n")),
                             Blocklist(dir.write("c", "bad.com\n\xff\xfe.com\n")),  // not UTF-8
                             Blocklist(dir.path() + "/missing.txt"), Blocklist(dir.path())}) {
        EXPECT_EQ(list.count(), 0u);
        EXPECT_FALSE(blocks(list, "bad.com"));
    }
}

}  // namespace
}  // namespace vesk
