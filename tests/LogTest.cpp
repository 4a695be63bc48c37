#include "VeskPlatform/Log.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/TempDir.hpp"

namespace vesk {
namespace {

TEST(Log, DeliversFormattedLinesInOrderPerThread) {
    auto sink = Log::capture();
    Log server("app.quorran.tarnik.dnsd", "server");
    Log forwarder("app.quorran.tarnik.PacketTunnelProvider", "dns");
    server.info("blocked {}", "example.com");
    forwarder.error("forwarder.timeout txid={} elapsed={:.3f}s", "ab01", 2.0004);
    forwarder.debug("forwarder.ready txid={} upstream={}", "ab01", "1.1.1.1");
    Log::flush();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "blocked example.com");
    EXPECT_EQ(lines[0].subsystem, "app.quorran.tarnik.dnsd");
    EXPECT_EQ(lines[0].category, "server");
    EXPECT_EQ(lines[0].level, LogLevel::info);
    EXPECT_EQ(lines[1].text, "forwarder.timeout txid=ab01 elapsed=2.000s");
    EXPECT_EQ(lines[1].subsystem, "app.quorran.tarnik.PacketTunnelProvider");
    EXPECT_EQ(lines[1].level, LogLevel::error);
    EXPECT_EQ(lines[2].level, LogLevel::debug);

    sink->clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            Log log("test", "threads");
            for (int i = 0; i < 500; ++i) log.info("{} {}", t, i);
        });
    }
    for (auto& thread : threads) thread.join();
    Log::flush();
    int next[4] = {0, 0, 0, 0};
    for (const auto& text : sink->texts()) {
        int t = text[0] - '0';
        EXPECT_EQ(std::stoi(text.substr(2)), next[t]) << text;
        ++next[t];
    }
    for (int count : next) EXPECT_EQ(count, 500);

    sink->clear();
    server.info("{}", std::string(2000, 'x'));
    Log::flush();
    auto truncated = sink->texts().at(0);
    EXPECT_LT(truncated.size(), 600u);
    EXPECT_TRUE(truncated.ends_with("...")) << truncated;
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
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return texts;
    }

private:
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::vector<std::string> texts;
};

TEST(Log, AFullRingDropsAndCountsInsteadOfBlocking) {
    auto stalled = std::make_shared<StalledSink>();
    Log::flush();
    Log::setSink(stalled);
    Log log("test", "flood");
    uint64_t before = Log::dropped();
    for (int i = 0; i < 20000; ++i) log.info("line {}", i);  // would hang if callers waited
    uint64_t dropped = Log::dropped() - before;
    EXPECT_GE(dropped, 20000u - 8192u - 1u);
    EXPECT_LT(dropped, 20000u);
    stalled->release();
    Log::flush();
    auto texts = stalled->snapshot();
    EXPECT_EQ(texts.front(), "line 0");
    EXPECT_EQ(texts.size(), 20000 - dropped + 1);  // and one line that reports the drops
    EXPECT_TRUE(texts.back().starts_with("log ring full: ")) << texts.back();
    Log::capture();
}

#ifndef __APPLE__
TEST(Log, SyslogLinesCarryPriorityAndNames) {
    test::TempDir dir;
    std::string path = dir.path() + "/log";
    auto sink = makeSyslogSink(path);
    sink->write({LogLevel::info, "sub", "cat", "dropped: nobody listens yet"});  // must not fail

    int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto fresh = makeSyslogSink(path);
    fresh->write({LogLevel::error, "app.quorran.tarnik.dnsd", "server", "blocked example.com"});
    char buffer[512];
    ssize_t n = ::recv(listener, buffer, sizeof buffer, MSG_DONTWAIT);
    ::close(listener);
    ASSERT_GT(n, 0);
    std::string line(buffer, static_cast<size_t>(n));
    EXPECT_TRUE(line.starts_with("<27>")) << line;  // daemon facility, error
    EXPECT_TRUE(line.ends_with(" vesk-dnsd[" + std::to_string(::getpid()) +
                               "]: app.quorran.tarnik.dnsd[server] blocked example.com"))
        << line;
}
#endif

}  // namespace
}  // namespace vesk
