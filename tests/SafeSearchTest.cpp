#include "VeskDNSCore/SafeSearch.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(SafeSearch, TargetsForListedNamesOnly) {
    const std::optional<std::string_view> google = "forcesafesearch.google.com";
    const std::optional<std::string_view> youtube = "restrictmoderate.youtube.com";
    const std::optional<std::string_view> none;
    struct Case {
        const char* name;
        std::optional<std::string_view> target;
    };
    const Case cases[] = {
        {"google.co.uk", google},
        {"WWW.Google.CO.UK.", google},
        {"google.com", google},
        {"www.google.cat", google},
        {"google.com.af", google},
        {"google.co.uk.ac", none},  // a suffix that is not in the list
        {"images.google.com", none},
        {"m.youtube.com", youtube},
        {"www.m.youtube.com", youtube},
        {"www.www.youtube.com", none},
        {"youtube-nocookie.com", youtube},
        {"youtubei.googleapis.com", youtube},
        {"youtube.googleapis.com", youtube},
        {"bing.com", "strict.bing.com"},
        {"www.duckduckgo.com", "safe.duckduckgo.com"},
        {"forcesafesearch.google.com", none},
        {"restrictmoderate.youtube.com", none},
        {"strict.bing.com", none},
        {"safe.duckduckgo.com", none},
        {"www.", none},
        {"", none},
    };
    for (const auto& c : cases) EXPECT_EQ(SafeSearch::target(c.name), c.target) << c.name;
    EXPECT_EQ(SafeSearch::count(), 197u);
}

}  // namespace
}  // namespace vesk
