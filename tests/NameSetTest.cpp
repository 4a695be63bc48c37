#include "VeskDNSCore/NameSet.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

std::vector<std::string> walked(std::string_view name) {
    std::vector<std::string> seen;
    NameWalk walk(name);
    for (const auto& candidate : walk) {
        EXPECT_EQ(candidate.hash, NameSet::hash(candidate.name())) << candidate.name();
        seen.emplace_back(candidate.name());
    }
    return seen;
}

TEST(NameSet, ParentWalkTestsEveryParentDownToTwoLabels) {
    using V = std::vector<std::string>;
    const std::pair<const char*, V> cases[] = {
        {"com", {"com"}},
        {"example.com", {"example.com"}},
        {"a.b.c.com", {"a.b.c.com", "b.c.com", "c.com"}},
        {"a..b.c.com", {"a..b.c.com", "b.c.com", "c.com"}},  // empty labels dropped from parents
        {"x.y.com.", {"x.y.com.", "y.com"}},
        {"...", {"..."}},
        {".y.com", {".y.com"}},
        {"", {}},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(walked(name), expected) << name;
    // Past the inline room: a name of 40 labels has 39 candidates, the whole name first.
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "l" + std::to_string(i) + ".";
    deep.pop_back();
    auto many = walked(deep);
    ASSERT_EQ(many.size(), 39u);
    EXPECT_EQ(many.front(), deep);
    EXPECT_EQ(many.back(), "l38.l39");
}

TEST(NameSet, KeepsEveryNameItGrowsFor) {
    NameSet set(2);
    for (int i = 0; i < 5000; ++i) EXPECT_TRUE(set.insert("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.insert("n7.example"));
    EXPECT_FALSE(set.insert(""));
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(set.contains("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.contains("n5000.example"));
    EXPECT_FALSE(set.contains("n7.exampl"));

    // Names of 40-62 bytes leave no bucket room for another long one before the table is
    // full by bytes; longer ones live outside the buckets. Each must still be placed and found.
    NameSet longNames(1);
    std::vector<std::string> names = {std::string(300, 'a') + ".com"};
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::string(static_cast<size_t>(40 + i % 23), static_cast<char>('a' + i % 26)) +
                        std::to_string(i));
        names.back().resize(std::min<size_t>(names.back().size(), 62));
    }
    for (const auto& name : names) ASSERT_TRUE(longNames.insert(name)) << name;
    for (const auto& name : names) EXPECT_TRUE(longNames.contains(name)) << name;
    EXPECT_FALSE(longNames.contains(names[0].substr(1)));
    EXPECT_EQ(longNames.size(), 301u);
}

}  // namespace
}  // namespace vesk
