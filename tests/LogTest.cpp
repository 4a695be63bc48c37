#include "VeskPlatform/Log.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "VeskDNSCore/LogChannels.hpp"
#include "tests/support/CaptureSink.hpp"

namespace vesk {
namespace {

TEST(Log, DeliversFormattedLinesInOrderPerThread) {
    auto sink = test::CaptureSink::install();
    Log server(LogChannels::server), forwarder(LogChannels::forwarder);
    server.info("blocked {}", "example.com");
    forwarder.debug("dropped: debug lines are off unless asked for");
    Log::setDebugEnabled(true);
    forwarder.debug("forwarder.ready txid={}", "ab01");
    Log::setDebugEnabled(false);
    forwarder.error("forwarder.timeout elapsed={:.3f}s {}", 2.0004, std::string(2000, 'x'));
    Log::flush();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "blocked example.com");
    EXPECT_EQ(lines[0].subsystem + "[" + lines[0].category + "]", "app.quorran.tarnik.dnsd[server]");
    EXPECT_EQ(lines[0].level, LogLevel::info);
    EXPECT_EQ(lines[1].text, "forwarder.ready txid=ab01");
    EXPECT_EQ(lines[1].level, LogLevel::debug);
    EXPECT_EQ(lines[2].subsystem, "app.quorran.tarnik.PacketTunnelProvider");
    EXPECT_EQ(lines[2].level, LogLevel::error);
    EXPECT_TRUE(lines[2].text.starts_with("forwarder.timeout elapsed=2.000s xxx"));
    EXPECT_TRUE(lines[2].text.ends_with("...")) << "cut to its slot";
    EXPECT_LT(lines[2].text.size(), 600u);

    sink->clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            Log log({"test", "threads"});
            for (int i = 0; i < 500; ++i) log.info("{} {}", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    Log::flush();
    int next[4] = {0, 0, 0, 0};
    for (const auto& text : sink->texts()) {
        int t = text[0] - '0';
        EXPECT_EQ(std::stoi(text.substr(2)), next[t]++) << text;
    }
    for (int count : next) EXPECT_EQ(count, 500);
}

// A sink that holds the logging thread until released, so the ring fills.
class StalledSink final : public LogSink {
public:
    void write(const LogLine& line) override {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return open; });
        texts.push_back(line.text);
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        released.notify_all();
    }

    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::vector<std::string> texts;
};

TEST(Log, AFullRingDropsAndCountsInsteadOfBlocking) {
    auto stalled = std::make_shared<StalledSink>();
    Log::flush();
    Log::setSink(stalled);
    Log log({"test", "flood"});
    uint64_t before = Log::dropped();
    for (int i = 0; i < 20000; ++i) log.info("line {}", i);  // would hang if callers waited
    uint64_t dropped = Log::dropped() - before;
    EXPECT_GE(dropped, 20000u - 8192u - 1u);
    stalled->release();
    Log::flush();
    std::lock_guard lock(stalled->mutex);
    EXPECT_EQ(stalled->texts.front(), "line 0");
    EXPECT_EQ(stalled->texts.size(), 20000 - dropped + 1);  // and one line that reports the drops
    EXPECT_TRUE(stalled->texts.back().starts_with("log ring full: ")) << stalled->texts.back();
}

}  // namespace
}  // namespace vesk
