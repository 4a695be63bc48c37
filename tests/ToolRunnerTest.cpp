#include "VeskPlatform/ToolRunner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "VeskPlatform/Files.hpp"
#include "tests/support/Socket.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using Capture = ToolRunner::Capture;

const HostRoot fileSystem;

// The pid in a file a child wrote, 0 when it has not (yet).
pid_t pidIn(const std::string& file) {
    auto text = Files::readAll(file);
    return text ? static_cast<pid_t>(std::atoi(text->c_str())) : 0;
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
            if (c.code == -1) EXPECT_FALSE(runner.startDetached(c.path, c.args)) << what;
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
    TempDir dir;
    std::string killed = dir.path() + "/killed", detached = dir.path() + "/detached";
    auto gone = [](pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; };
    ProcessToolRunner runner(fileSystem, 300ms);
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo $$ > " + killed + "; exec sleep 30"}), -1);
    pid_t pid = pidIn(killed);  // 0 if it was killed before writing it, on a busy machine
    EXPECT_TRUE(pid == 0 || gone(pid));
    ASSERT_TRUE(runner.startDetached("/bin/sh", {"-c", "echo $$ > " + detached}));
    ASSERT_TRUE(waitUntil([&] { return (pid = pidIn(detached)) > 0; }, 60s));
    EXPECT_TRUE(waitUntil([&] { return gone(pid); }, 60s));
    // The tool ends at once but leaves the pipe open in a grandchild.
    auto left = runner.capture("/bin/sh", {"-c", "sleep 30 & echo $! > " + killed + "; echo started"},
                               Capture::outputOnly);
    EXPECT_EQ(std::pair(left.code, left.out), std::pair(-1, std::string("timed out")));
    if (pid_t grandchild = pidIn(killed); grandchild > 0) ::kill(grandchild, SIGKILL);
}

}  // namespace
}  // namespace vesk::test
