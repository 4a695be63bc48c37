#include "VeskDNSCore/NameSet.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

std::vector<std::string> candidates(std::string_view name) {
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
    struct Case {
        const char* name;
        V expected;
    };
    const Case cases[] = {
        {"com", {"com"}},
        {"example.com", {"example.com"}},
        {"a.example.com", {"a.example.com", "example.com"}},
        {"a.b.c.com", {"a.b.c.com", "b.c.com", "c.com"}},
        // Empty labels are dropped before the parents are joined.
        {"a..b.c.com", {"a..b.c.com", "b.c.com", "c.com"}},
        {"x.y.com.", {"x.y.com.", "y.com"}},
        {"...", {"..."}},
        {".y.com", {".y.com"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(candidates(c.name), c.expected) << c.name;
    }
    // Past the inline room: a name of 40 labels has 39 candidates, the whole name first.
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "l" + std::to_string(i) + ".";
    deep.pop_back();
    auto many = candidates(deep);
    ASSERT_EQ(many.size(), 39u);
    EXPECT_EQ(many.front(), deep);
    EXPECT_EQ(many.back(), "l38.l39");
}

TEST(NameSet, GrowsPastItsExpectedSizeAndKeepsEveryName) {
    NameSet set(2);
    for (int i = 0; i < 5000; ++i) EXPECT_TRUE(set.insert("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.insert("n7.example"));
    EXPECT_FALSE(set.insert(""));
    EXPECT_EQ(set.size(), 5000u);
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(set.contains("n" + std::to_string(i) + ".example"));
    EXPECT_FALSE(set.contains("n5000.example"));
    EXPECT_FALSE(set.contains("n7.exampl"));
}

TEST(NameSet, LongNamesFillingEveryBucketStillFit) {
    // Names of 40-62 bytes leave no bucket with room for another long before the table
    // is full by bytes; every one must still be placed and found.
    NameSet set(1);
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::string(static_cast<size_t>(40 + i % 23), 'a' + static_cast<char>(i % 26)) +
                        std::to_string(i));
        names.back().resize(std::min<size_t>(names.back().size(), 62));
        ASSERT_TRUE(set.insert(names.back())) << i;
    }
    EXPECT_TRUE(set.insert("x"));
    for (const auto& name : names) EXPECT_TRUE(set.contains(name)) << name;
    EXPECT_FALSE(set.contains("not-there.example"));
    EXPECT_EQ(set.size(), 301u);
}

TEST(NameSet, NamesTooLongForABucketStillCount) {
    NameSet set;
    std::string huge(300, 'a');
    huge += ".com";
    EXPECT_TRUE(set.insert(huge));
    EXPECT_FALSE(set.insert(huge));
    EXPECT_TRUE(set.insert("small.com"));
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.contains(huge));
    EXPECT_TRUE(set.contains("small.com"));
    EXPECT_FALSE(set.contains(huge.substr(1)));
}

}  // namespace
}  // namespace vesk
