#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VeskDNSCore/LogChannels.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/Socket.hpp"
#include "tests/support/TempDir.hpp"

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

TEST(Log, StandardErrorGetsWholeLinesInWritesThatNoOtherWriterSplits) {
    int pair[2], saved = ::dup(STDERR_FILENO);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);  // a packet per write
    ::dup2(pair[0], STDERR_FILENO);
    ::setenv("VESK_LOG", "stderr", 1);
    Log::useDefaultSink();
    ::unsetenv("VESK_LOG");  // no later test or tool it starts inherits it
    Log log({"test", "stderr"});
    for (size_t i = 0; i < 100; ++i) log.info("line {} {}", i, std::string(i, 'x'));
    test::CaptureSink::install();  // flushes first
    ::dup2(saved, STDERR_FILENO);
    std::string packet(2 * PIPE_BUF, '\0');
    int writes = 0, lines = 0;
    for (ssize_t n; (n = ::recv(pair[1], packet.data(), packet.size(), MSG_DONTWAIT)) > 0; ++writes) {
        auto size = static_cast<size_t>(n);
        EXPECT_TRUE(size <= PIPE_BUF && packet[size - 1] == '\n') << n;
        lines += static_cast<int>(std::count(packet.begin(), packet.begin() + n, '\n'));
    }
    for (int fd : {saved, pair[0], pair[1]}) ::close(fd);
    EXPECT_EQ(lines, 100);
    EXPECT_LT(writes, 10) << "lines gathered into few writes";
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

// The processes the daemon runs its tools in (on the pool above).
using Capture = ToolRunner::Capture;

const HostRoot fileSystem;

// The pid in a file a child wrote, 0 when it has not (yet).
pid_t pidIn(const std::string& file) {
    return static_cast<pid_t>(std::atoi(Files::readAll(file).value_or("0").c_str()));
}

// Waited for and captured alike, from several threads at once as the daemon does. The
// daemon blocks and ignores signals of its own: a tool starts with the default handling.
TEST(ProcessToolRunner, ExitStatusesArgumentsAndOutput) {
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    auto previous = ::signal(SIGPIPE, SIG_IGN);
    int inheritable = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    const struct {
        ToolRunner::Args args;
        Capture what;
        int code;  // -1: it cannot start, and out is why
        std::string out;
        std::string path = "/bin/sh";
    } cases[] = {
        {{"-c", "kill -TERM $$; exit 0"}, Capture::outputOnly, 128 + SIGTERM, ""},
        {{"-c", "kill -PIPE $$; exit 0"}, Capture::outputOnly, 128 + SIGPIPE, ""},
        {{"-c", "printf '%s|' \"$@\"", "sh", "a b", "", "*", "$HOME"}, Capture::outputOnly, 0, "a b||*|$HOME|"},
        {{"-c", "cat"}, Capture::outputOnly, 0, ""},  // standard input is the null device, not the daemon's
        {{"-c", "echo out; echo err >&2; echo more"}, Capture::outputAndErrors, 0, "out\nerr\nmore\n"},
        {{"-c", "echo out; echo err >&2; echo more"}, Capture::outputOnly, 0, "out\nmore\n"},
        {{"-c", "printf 'caf\\303\\251'; exit 2"}, Capture::outputOnly, 2, "caf\xc3\xa9"},
        {{"-c", "printf 'ok\\300\\257'"}, Capture::outputOnly, 0, ""},  // not UTF-8 (an overlong "/")
#ifdef __linux__
        {{"-c", "ls /proc/$$/fd"}, Capture::outputAndErrors, 0, "0\n1\n2\n"},  // no descriptor of ours
#endif
        {{}, Capture::outputOnly, -1, "cannot run /no/such/tool: No such file or directory", "/no/such/tool"},
    };
    ProcessToolRunner runner(fileSystem);
    std::vector<std::thread> threads;
    for (const auto& c : cases) {
        threads.emplace_back([&] {
            std::string what = c.path + " " + (c.args.empty() ? "" : c.args[1]);
            EXPECT_EQ(runner.run(c.path, c.args), c.code) << what;
            auto result = runner.capture(c.path, c.args, c.what);
            EXPECT_EQ(std::pair(result.code, result.out), std::pair(c.code, c.out)) << what;
            EXPECT_TRUE(c.code != -1 || !runner.startDetached(c.path, c.args)) << what;
        });
    }
    for (auto& thread : threads) thread.join();
    ::close(inheritable);
    ::signal(SIGPIPE, previous);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Every tool is reaped: one killed at the time limit before run returns, a detached one
// when it ends. A zombie still answers kill(pid, 0); only a reaped process is gone.
TEST(ProcessToolRunner, ToolOverTheTimeLimitIsKilledAndEveryToolReaped) {
    test::TempDir dir;
    std::string killed = dir.path() + "/killed", detached = dir.path() + "/detached";
    auto gone = [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; };
    ProcessToolRunner runner(fileSystem, 300ms);
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo $$ > " + killed + "; exec sleep 30"}), -1);
    pid_t pid = pidIn(killed);  // 0 if it was killed before writing it, on a busy machine
    EXPECT_TRUE(pid == 0 || gone(pid));
    ASSERT_TRUE(runner.startDetached("/bin/sh", {"-c", "echo $$ > " + detached}));
    ASSERT_TRUE(test::waitUntil([&] { return (pid = pidIn(detached)) > 0; }, 60s));
    EXPECT_TRUE(test::waitUntil([&] { return gone(pid); }, 60s));
    // The tool ends at once but leaves the pipe open in a grandchild.
    auto left = runner.capture("/bin/sh", {"-c", "sleep 30 & echo $! > " + killed + "; echo started"},
                               Capture::outputOnly);
    EXPECT_EQ(std::pair(left.code, left.out), std::pair(-1, std::string("timed out")));
    if (pid_t grandchild = pidIn(killed); grandchild > 0) ::kill(grandchild, SIGKILL);
}

}  // namespace
}  // namespace vesk
