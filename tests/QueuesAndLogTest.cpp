#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VeskDNSCore/LogChannels.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Log.hpp"
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
    std::vector<std::string> seen;
    EXPECT_TRUE(test::waitUntil([&] { return queue.sync([&] { seen = ran; }) && seen.size() == 4; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "nested", "second", "soon"}));
    EXPECT_TRUE(sink->waitFor("test-queue: task failed: bad task"));

    // Stopping drops the task still an hour away, and what it held, and refuses more.
    queue.stop();
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_FALSE(queue.sync([&] { ran.push_back("after stop"); }));
    EXPECT_EQ(ran.size(), 4u);
}

// Up to its cap at once, the other tasks waiting for a thread; idle threads retire and
// come back on demand. Stopping lets the running tasks finish and drops those waiting.
TEST(BlockingPool, RunsUpToItsCapRetiresIdleThreadsAndStopsAfterTheRunningTasks) {
    auto sink = test::CaptureSink::install();
    BlockingPool pool("test-pool", 2, 20ms);
    std::promise<void> release, hold;
    std::shared_future<void> released = release.get_future().share(), held = hold.get_future().share();
    std::atomic<int> started = 0, finished = 0;
    auto blocked = [&](std::shared_future<void> until) {
        return [&, until] {
            ++started;
            until.wait();
            ++finished;
        };
    };
    for (int i = 0; i < 4; ++i) pool.submit(blocked(released));
    ASSERT_TRUE(test::waitUntil([&] { return started == 2; }));
    EXPECT_EQ(pool.threads(), 2u);
    pool.submit([] { throw std::runtime_error("tool failed"); });
    release.set_value();
    EXPECT_TRUE(test::waitUntil([&] { return finished == 4; }));
    EXPECT_TRUE(sink->waitFor("test-pool: task failed: tool failed"));
    EXPECT_TRUE(test::waitUntil([&] { return pool.threads() == 0; }));
    for (int i = 0; i < 3; ++i) pool.submit(blocked(held));
    ASSERT_TRUE(test::waitUntil([&] { return started == 6; }));
    auto finishedWhenStopped = std::async(std::launch::async, [&] {
        pool.stop();
        return finished.load();
    });
    std::this_thread::sleep_for(10ms);  // give stop the chance to overtake the tasks (it must not)
    hold.set_value();
    EXPECT_EQ(finishedWhenStopped.get(), 6);
}

TEST(Log, DeliversFormattedLines) {
    auto sink = test::CaptureSink::install();
    Log server(LogChannels::server), forwarder({LogChannels::daemon, "forwarder"});  // one subsystem, two entries
    server.info("blocked {}", "example.com");
    forwarder.debug("dropped: debug lines are off unless asked for");
    Log::setDebugEnabled(true);
    forwarder.debug("forwarder.ready txid={}", "ab01");
    Log::setDebugEnabled(false);
    forwarder.error("forwarder.timeout elapsed={:.3f}s {}", 2.0004, std::string(2000, 'x'));
    Log::flush();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].subsystem + "[" + lines[0].category + "] " + lines[0].text,
              "app.quorran.tarnik.dnsd[server] blocked example.com");
    EXPECT_EQ(lines[2].category, "forwarder");
    EXPECT_EQ(std::vector({lines[0].level, lines[1].level, lines[2].level}),
              std::vector({LogLevel::info, LogLevel::debug, LogLevel::error}));
    EXPECT_TRUE(lines[2].text.starts_with("forwarder.timeout elapsed=2.000s xxx"));
    EXPECT_TRUE(lines[2].text.ends_with("...")) << "cut to its slot";
}

// A sink that holds the logging thread while the test holds its gate, so the ring fills.
struct StalledSink final : LogSink {
    void write(const LogLine& line) override {
        std::lock_guard hold(gate);
        texts.push_back(line.text);
    }
    std::mutex gate;
    std::vector<std::string> texts;
};

TEST(Log, AFullRingDropsAndCountsInsteadOfBlocking) {
    auto stalled = std::make_shared<StalledSink>();
    Log::flush();
    stalled->gate.lock();
    Log::setSink(stalled);
    uint64_t before = Log::dropped();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            Log log({"test", "flood"});
            for (int i = 0; i < 5000; ++i) log.info("{} {}", t, i);  // would hang if callers waited
        });
    }
    for (auto& thread : threads) thread.join();
    uint64_t dropped = Log::dropped() - before;
    EXPECT_GE(dropped, 20000u - 8192u - 1u);
    stalled->gate.unlock();
    // The drops are reported once the lines kept have gone out.
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(stalled->gate);
        return !stalled->texts.empty() && stalled->texts.back().starts_with("log ring full: ");
    }));
    std::lock_guard lock(stalled->gate);
    ASSERT_EQ(stalled->texts.size(), 20000 - dropped + 1);  // and one line that reports the drops
    // What each thread logged and was kept comes in the order it was logged.
    int last[4] = {-1, -1, -1, -1};
    for (size_t k = 0; k + 1 < stalled->texts.size(); ++k) {
        int t = stalled->texts[k][0] - '0', i = std::stoi(stalled->texts[k].substr(2));
        EXPECT_GT(i, std::exchange(last[t], i)) << stalled->texts[k];
    }
}

}  // namespace
}  // namespace vesk
