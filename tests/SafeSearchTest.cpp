#include "VeskDNSCore/SafeSearch.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(SafeSearch, TargetsForListedNamesOnly) {
    const std::optional<std::string_view> google = "forcesafesearch.google.com",
                                          youtube = "restrictmoderate.youtube.com", none;
    const std::pair<const char*, std::optional<std::string_view>> cases[] = {
        {"google.co.uk", google},           {"WWW.Google.CO.UK.", google},
        {"www.google.cat", google},         {"google.com.af", google},
        {"google.co.uk.ac", none},          {"images.google.com", none},  // no subdomains
        {"m.youtube.com", youtube},         {"www.m.youtube.com", youtube},
        {"www.www.youtube.com", none},      {"youtubei.googleapis.com", youtube},
        {"bing.com", "strict.bing.com"},    {"www.duckduckgo.com", "safe.duckduckgo.com"},
        {"forcesafesearch.google.com", none}, {"strict.bing.com", none},  // never loops
        {"www.", none},                     {"", none},
    };
    for (const auto& [name, target] : cases) EXPECT_EQ(SafeSearch::target(DomainName(name)), target) << name;
}

}  // namespace
}  // namespace vesk
