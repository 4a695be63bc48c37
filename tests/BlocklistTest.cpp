#include "VeskDNSCore/Blocklist.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "VeskDNSCore/DomainName.hpp"
#include "tests/TempDir.hpp"

namespace vesk {
namespace {

Blocklist fromText(test::TempDir& dir, const std::string& text) {
    return Blocklist(dir.write("list.txt", text));
}

TEST(Blocklist, FileFormatRules) {
    test::TempDir dir;
    Blocklist list = fromText(dir,
                              "  Example.COM \n"
                              "\n"
                              "# comment.com\n"
                              ".leading.com\n"
                              "nodot\n"
                              "a.b.deep.net\r\n"  // CR of a CRLF file is trimmed
                              "example.com\n"     // duplicate after lower-casing
                              "0.0.0.0 hosts.com\n"
                              "*.wild.com\n"
                              "trailing.org.\n"
                              "apple.com\n"            // never-block
                              "cdn.icloud.com\n"       // under a never-block domain
                              "\t\u00a0spaced.io\u2003\n"  // Unicode blanks
                              "last.net");             // no final newline
    // example.com, a.b.deep.net, the hosts line, the wildcard, trailing.org., spaced.io,
    // last.net
    EXPECT_EQ(list.count(), 7u);

    struct Case {
        const char* name;
        bool blocked;
    };
    const Case cases[] = {
        {"example.com", true},
        {"EXAMPLE.com.", true},
        {"www.example.com", true},
        {"a.b.c.example.com", true},  // four labels below, through the parent walk
        {"a.b.deep.net", true},
        {"x.a.b.deep.net", true},
        {"b.deep.net", false},  // a three-label entry does not block its parent
        {"deep.net", false},
        {"hosts.com", false},  // verbatim lines never match
        {"x.wild.com", false},
        {"trailing.org", false},
        {"trailing.org..", true},  // one dot stripped: the verbatim entry itself
        {"spaced.io", true},
        {"last.net", true},
        {"nodot", false},
        {"com", false},
        {"", false},
        {".", false},
        {"apple.com", false},
        {"cdn.icloud.com", false},
        {"example.org", false},
    };
    for (const auto& c : cases) EXPECT_EQ(list.contains(c.name), c.blocked) << c.name;
}

TEST(Blocklist, NeverBlockNamesCannotBeListed) {
    Blocklist list(std::vector<std::string>{"apple.com", "b.apple.com", "PUSH.apple.com",
                                            "x.supabase.co", "evil.net",
                                            "mzstatic.com.example"});
    EXPECT_EQ(list.count(), 2u);
    EXPECT_TRUE(list.contains("x.evil.net"));
    EXPECT_TRUE(list.contains("mzstatic.com.example"));  // only looks like one
    EXPECT_FALSE(list.contains("b.apple.com"));
    EXPECT_FALSE(list.contains("is1-ssl.mzstatic.com"));
}

TEST(Blocklist, EmptyOrUnreadableFilesBlockNothing) {
    test::TempDir dir;
    const std::string invalidUTF8 = "bad.com\n\xff\xfe.com\n";
    for (const auto& list : {fromText(dir, ""), fromText(dir, "# only\n#comments.com\n"),
                             fromText(dir, invalidUTF8), Blocklist(dir.path() + "/missing.txt"),
                             Blocklist(dir.path())}) {
        EXPECT_EQ(list.count(), 0u);
        EXPECT_FALSE(list.contains("bad.com"));
    }
    Blocklist bom = fromText(dir, "\xEF\xBB\xBF" "first.com\n");
    EXPECT_TRUE(bom.contains("first.com"));
}

TEST(Blocklist, NonASCIILinesAreLowerCasedAsUnicode) {
    Blocklist list(std::vector<std::string>{"\u00c9COLE.fr", "e\u0301cole.fr"});
    EXPECT_EQ(list.count(), 1u);  // composed and decomposed forms are one name
    EXPECT_TRUE(list.contains("\u00e9cole.fr"));
    EXPECT_TRUE(list.contains("www.\u00c9cole.FR."));
}

TEST(Blocklist, BypassTables) {
    EXPECT_EQ(Blocklist::neverBlock().size(), 16u);
    EXPECT_EQ(Blocklist::dohEndpoints().size(), 41u);
    EXPECT_EQ(Blocklist::privateRelayEndpoints().size(), 3u);
    for (const auto* table : {&Blocklist::neverBlock(), &Blocklist::dohEndpoints(),
                              &Blocklist::privateRelayEndpoints()}) {
        std::set<std::string_view> unique(table->begin(), table->end());
        EXPECT_EQ(unique.size(), table->size());
        for (auto name : *table) {
            EXPECT_EQ(std::string(name), DomainName::lowercased(name));
            EXPECT_NE(name.back(), '.');
        }
    }

    struct Case {
        const char* name;
        bool doh, relay;
    };
    const Case cases[] = {
        {"DNS.Google.", true, false},
        {"x.dns.google", true, false},
        {"mozilla.cloudflare-dns.com", true, false},
        {"quad9.net", false, false},  // an entry does not cover its parent
        {"use-application-dns.net", true, false},
        {"mask.icloud.com", false, true},
        {"MASK-H2.icloud.com.", false, true},
        {"mask-api.icloud.com", false, true},
        {"mask.apple-dns.net", false, true},
        {"mask-t.aaplimg.com", false, true},
        {"mask42.icloud.com", false, true},
        {"x.mask.icloud.com", false, true},
        {"maskerade.example.com", false, false},
        {"mask.apple-dns.net.evil.com", false, false},
        {"gateway.icloud.com", false, false},
        {"doh.dns.apple.com", false, true},
        {"a.doh.dns.apple.com", false, true},
        {"xdoh.dns.apple.com", false, false},
        {"doh.dns.apple.com.v.aaplimg.com", false, true},
        {"apple.com", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Blocklist::isDoHBypass(c.name), c.doh) << c.name;
        EXPECT_EQ(Blocklist::isPrivateRelayBypass(c.name), c.relay) << c.name;
    }
    // The relay hosts lie under a never-block domain: refused, yet never blockable.
    Blocklist list(std::vector<std::string>{"mask.icloud.com", "gateway.icloud.com"});
    EXPECT_EQ(list.count(), 0u);
    EXPECT_FALSE(list.contains("gateway.icloud.com"));
}

}  // namespace
}  // namespace vesk
