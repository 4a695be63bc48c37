#include "VeskDNSCore/DomainName.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(DomainName, TrimAndValidate) {
    EXPECT_EQ(DomainName::trimmed(" \t\r\n\v\fa b\n"), "a b");
    EXPECT_EQ(DomainName::trimmed("\u00a0\u2028x.com\u3000\u0085"), "x.com");
    EXPECT_EQ(DomainName::trimmed("\u200bx"), "\u200bx");  // a zero-width space is not blank
    EXPECT_EQ(DomainName::trimmed("   "), "");
    EXPECT_TRUE(DomainName::isValidUTF8("plain ascii, long enough to take the fast path"));
    EXPECT_TRUE(DomainName::isValidUTF8("\u00e9\U0001F600"));
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "abcdefgh\xff", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(DomainName::isValidUTF8(bad)) << bad;
    }
}

TEST(DomainName, NormalizedLowerCasesAndDropsOneDot) {
    struct Case {
        std::string raw, want;
    };
    const Case cases[] = {
        {"WWW.Example.COM.", "www.example.com"},
        {"a.b..", "a.b."},
        {".", ""},
        {"", ""},
        {std::string(300, 'X') + ".", std::string(300, 'x')},
        {"\u00c9COLE.FR", "\u00e9cole.fr"},
    };
    for (const auto& c : cases) {
        DomainName::Normalized n(c.raw);
        EXPECT_EQ(n.view(), c.want) << c.raw;
    }
}

}  // namespace
}  // namespace vesk
