#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/Socket.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsDueTasksInOrderAndLaterOnesWhenDue) {
    auto sink = test::CaptureSink::install();
    SerialQueue queue("test-queue");
    std::vector<std::string> ran;  // touched by the queue's thread only, read after sync
    auto held = std::make_shared<int>(0);
    queue.asyncAfter(1h, [&ran, held] { ran.push_back("an hour later"); });
    queue.asyncAfter(20ms, [&] { ran.push_back("soon"); });
    queue.async([&] { ran.push_back("first"); });
    queue.async([] { throw std::runtime_error("bad task"); });
    queue.async([&] {
        // A sync from the queue's own task runs at once rather than waiting for itself.
        EXPECT_TRUE(queue.sync([&] { ran.push_back("nested"); }));
        ran.push_back("second");
    });
    EXPECT_TRUE(queue.sync([] {}));
    EXPECT_TRUE(test::waitUntil([&] {
        std::vector<std::string> seen;
        queue.sync([&] { seen = ran; });
        return seen.size() == 3 + 1;
    }));
    queue.sync([&] { EXPECT_EQ(ran, (std::vector<std::string>{"first", "nested", "second", "soon"})); });
    EXPECT_TRUE(sink->waitFor("test-queue: task failed: bad task"));

    // Stopping drops the task still an hour away, and what it held, and refuses more.
    queue.stop();
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_FALSE(queue.sync([&] { ran.push_back("after stop"); }));
    queue.async([&] { ran.push_back("after stop"); });
    EXPECT_EQ(ran.size(), 4u);
}

TEST(SerialQueue, ASyncCallerIsNeverLeftWaitingByAStop) {
    for (int round = 0; round < 50; ++round) {
        auto queue = std::make_unique<SerialQueue>("stopping");
        std::atomic<int> answered = 0;
        std::vector<std::thread> callers;
        for (int i = 0; i < 4; ++i) {
            callers.emplace_back([&] {
                queue->sync([] {});  // ran, or refused: either way it returns
                ++answered;
            });
        }
        queue->stop(round % 2 ? SerialQueue::Due::drop : SerialQueue::Due::run);
        for (auto& caller : callers) caller.join();
        EXPECT_EQ(answered, 4);
    }
}

TEST(BlockingPool, RunsUpToItsCapAtOnceAndRetiresIdleThreads) {
    auto sink = test::CaptureSink::install();
    BlockingPool pool("test-pool", 2, 20ms);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> started = 0, finished = 0;
    for (int i = 0; i < 4; ++i) {
        pool.submit([&, released] {
            ++started;
            released.wait();
            ++finished;
        });
    }
    ASSERT_TRUE(test::waitUntil([&] { return started == 2; }));
    EXPECT_EQ(pool.threads(), 2u);  // the other two wait for a thread
    pool.submit([] { throw std::runtime_error("tool failed"); });
    release.set_value();
    EXPECT_TRUE(test::waitUntil([&] { return finished == 4; }));
    EXPECT_TRUE(sink->waitFor("test-pool: task failed: tool failed"));
    EXPECT_TRUE(test::waitUntil([&] { return pool.threads() == 0; }));
    // A retired pool starts threads again on demand.
    std::atomic<bool> again = false;
    pool.submit([&] { again = true; });
    EXPECT_TRUE(test::waitUntil([&] { return again.load(); }));
}

TEST(BlockingPool, StopLetsRunningTasksFinishAndDropsTheRest) {
    BlockingPool pool("stopping", 1);
    std::promise<void> release;
    std::atomic<bool> running = false, finished = false, dropped = true;
    pool.submit([&, released = release.get_future().share()] {
        running = true;
        released.wait();
        finished = true;
    });
    pool.submit([&] { dropped = false; });
    ASSERT_TRUE(test::waitUntil([&] { return running.load(); }));
    std::thread stopper([&] { pool.stop(); });
    std::this_thread::sleep_for(10ms);  // give stop the chance to overtake the task (it must not)
    release.set_value();
    stopper.join();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(dropped);
    pool.submit([&] { dropped = false; });
    EXPECT_TRUE(dropped);
}

}  // namespace
}  // namespace vesk
