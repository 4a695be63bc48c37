#include "VeskDNSCore/DomainName.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(DomainName, TrimAndValidate) {
    EXPECT_EQ(DomainName::trimmed(" \t\r\n\v\fa b\n"), "a b");
    EXPECT_EQ(DomainName::trimmed("\u00a0\u2028x.com\u3000\u0085"), "x.com");
    EXPECT_EQ(DomainName::trimmed("\u200bx"), "\u200bx");  // a zero-width space is not blank
    EXPECT_TRUE(DomainName::isValidUTF8("plain ascii, long enough to take the fast path \u00e9\U0001F600"));
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "abcdefgh\xff", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(DomainName::isValidUTF8(bad)) << bad;
    }
}

TEST(DomainName, NormalisedOnceLowerCaseWithoutOneTrailingDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"WWW.Example.COM.", "www.example.com"}, {"a.b..", "a.b."}, {".", ""}, {"", ""},
        {"@[`{AZaz09", "@[`{azaz09"},  // the bytes around the letters stay
        {std::string(300, 'X') + ".", std::string(300, 'x')},
        {"E\u0301COLE.fr", "\u00e9cole.fr"},  // composed
        {"ABCDEFG\u00c9HIJKLMNOP", "abcdefg\u00e9hijklmnop"},
    };
    for (const auto& [raw, want] : cases) EXPECT_EQ(DomainName(raw).view(), want) << raw;
    EXPECT_EQ(DomainName::fromASCII("Mixed.CASE.Name.").view(), "mixed.case.name");
    std::string bytes = "ABCDEFGH\xc3\x89IJKLMNOPQRSTUVWX";  // a high byte mid-word is kept
    DomainName::lowerASCII(bytes);
    EXPECT_EQ(bytes, "abcdefgh\xc3\x89ijklmnopqrstuvwx");
}

TEST(DomainName, AtOrUnderRespectsLabelBoundaries) {
    const std::pair<const char*, bool> cases[] = {
        {"_dns.resolver.arpa", true}, {"a.b._dns.resolver.arpa", true},
        {"not_dns.resolver.arpa", false}, {"resolver.arpa", false}, {"", false},
    };
    for (const auto& [name, under] : cases) EXPECT_EQ(DomainName(name).isAtOrUnder("_dns.resolver.arpa"), under) << name;
    EXPECT_FALSE(DomainName("x.com").isAtOrUnder(""));
    EXPECT_EQ(DomainName("MASK7.icloud.com").firstLabel(), "mask7");
}

}  // namespace
}  // namespace vesk
