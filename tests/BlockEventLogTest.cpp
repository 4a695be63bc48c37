#include "VeskDNSCore/BlockEventLog.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace vesk {
namespace {

using Clock = BlockEventLog::Clock;

Clock::time_point at(int seconds) { return Clock::time_point(std::chrono::seconds(seconds)); }

std::vector<int> seconds(const std::vector<BlockEventLog::Event>& events) {
    std::vector<int> out;
    for (const auto& e : events) {
        out.push_back(static_cast<int>(std::chrono::floor<std::chrono::seconds>(e.at).time_since_epoch().count()));
    }
    return out;
}

std::vector<int> range(int from, int to) {
    std::vector<int> out(static_cast<size_t>(to - from + 1));
    std::iota(out.begin(), out.end(), from);
    return out;
}

TEST(BlockEventLog, KeepsTheMostRecentInArrivalOrder) {
    BlockEventLog log(200);
    EXPECT_TRUE(log.recent(50).empty());
    for (int i = 1; i <= 250; ++i) log.record("adult", at(i));
    EXPECT_EQ(seconds(log.recent(50)), range(201, 250));
    EXPECT_EQ(seconds(log.recent(1000)), range(51, 250));
    EXPECT_TRUE(log.recent(0).empty());
    // As a block subscriber it records the category and the time it is given.
    BlockEventLog unordered(3);
    for (int t : {5, 5, 1, 9}) unordered.blocked("adult", DomainName("x.example"), at(t));
    EXPECT_EQ(seconds(unordered.recent(10)), std::vector<int>({5, 1, 9}));
    EXPECT_EQ(unordered.recent(1).front().category, "adult");
    BlockEventLog none(0);
    none.record("adult", at(1));
    EXPECT_TRUE(none.recent(10).empty());
}

}  // namespace
}  // namespace vesk
