#include "VeskDNSCore/BlockEventLog.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace vesk {
namespace {

using Clock = BlockEventLog::Clock;

Clock::time_point at(int seconds) { return Clock::time_point(std::chrono::seconds(seconds)); }

std::vector<int> seconds(const std::vector<BlockEventLog::Event>& events) {
    std::vector<int> out;
    for (const auto& e : events) {
        out.push_back(static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(e.at.time_since_epoch()).count()));
    }
    return out;
}

std::vector<int> range(int from, int to) {
    std::vector<int> out;
    for (int i = from; i <= to; ++i) out.push_back(i);
    return out;
}

TEST(BlockEventLog, KeepsTheMostRecentInArrivalOrder) {
    BlockEventLog log(200);
    EXPECT_TRUE(log.recent(50).empty());
    for (int i = 1; i <= 250; ++i) log.record("adult", at(i));
    EXPECT_EQ(seconds(log.recent(50)), range(201, 250));
    EXPECT_EQ(seconds(log.recent(1000)), range(51, 250));
    EXPECT_TRUE(log.recent(0).empty());
    EXPECT_EQ(log.recent(1).front().category, "adult");

    BlockEventLog unordered(3);
    for (int t : {5, 5, 1, 9}) unordered.record("adult", at(t));
    EXPECT_EQ(seconds(unordered.recent(10)), std::vector<int>({5, 1, 9}));

    BlockEventLog none(0);
    none.record("adult", at(1));
    EXPECT_TRUE(none.recent(10).empty());
}

TEST(BlockEventLog, ConcurrentWritersAndReadersSeeWholeLists) {
    BlockEventLog log(100);
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) log.record("adult", at(i));
        });
    }
    for (int i = 0; i < 200; ++i) EXPECT_LE(log.recent(1000).size(), 100u);
    for (auto& t : writers) t.join();
    EXPECT_EQ(log.recent(1000).size(), 100u);
}

}  // namespace
}  // namespace vesk
