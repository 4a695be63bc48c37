#include "VeskPlatform/ToolRunner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "VeskPlatform/Files.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using Capture = ToolRunner::Capture;

const HostRoot fileSystem;

// Polls until done() holds, giving up only far beyond any reasonable wait.
template <typename Condition>
bool eventually(Condition done) {
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The pid in a file a child wrote, 0 when it has not (yet).
pid_t pidIn(const std::string& file) {
    auto text = Files::readAll(file);
    return text ? static_cast<pid_t>(std::atoi(text->c_str())) : 0;
}

TEST(ProcessToolRunner, ExitStatusesAndArguments) {
    struct Case {
        std::string path;
        ToolRunner::Args args;
        int code;
        std::string out;
    } cases[] = {
        {"/bin/sh", {"-c", "exit 3"}, 3, ""},
        {"/bin/sh", {"-c", "kill -KILL $$"}, 128 + SIGKILL, ""},
        {"/bin/sh", {"-c", "printf '%s|' \"$@\"", "sh", "a b", "", "*", "$HOME"}, 0,
         "a b||*|$HOME|"},
        {"/bin/cat", {}, 0, ""},  // standard input is the null device, not the daemon's
    };
    ProcessToolRunner runner(fileSystem);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + (c.args.empty() ? "" : c.args.back()));
        EXPECT_EQ(runner.run(c.path, c.args), c.code);
        auto result = runner.capture(c.path, c.args, Capture::outputAndErrors);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.out, c.out);
    }
}

TEST(ProcessToolRunner, ToolThatCannotStartFailsWithTheReason) {
    TempDir dir;
    std::string plain = dir.write("plain", "#!/bin/sh\n");  // not executable
    struct Case {
        std::string path;
        std::string reason;
    } cases[] = {
        {"/no/such/tool", "cannot run /no/such/tool: No such file or directory"},
        {plain, "cannot run " + plain + ": Permission denied"},
    };
    ProcessToolRunner runner(fileSystem);
    for (const auto& c : cases) {
        EXPECT_EQ(runner.run(c.path, {}), -1) << c.path;
        auto result = runner.capture(c.path, {}, Capture::outputOnly);
        EXPECT_EQ(result.code, -1);
        EXPECT_EQ(result.out, c.reason);
        EXPECT_FALSE(runner.startDetached(c.path, {})) << c.path;
    }
}

TEST(ProcessToolRunner, CapturedOutput) {
    struct Case {
        std::string script;
        Capture what;
        int code;
        std::string out;
    } cases[] = {
        {"echo out; echo err >&2; echo more", Capture::outputAndErrors, 0, "out\nerr\nmore\n"},
        {"echo out; echo err >&2; echo more", Capture::outputOnly, 0, "out\nmore\n"},
        {"printf 'caf\\303\\251'; exit 2", Capture::outputOnly, 2, "caf\xc3\xa9"},
        {"printf 'ok\\377'", Capture::outputOnly, 0, ""},
        {"printf '\\355\\240\\200'", Capture::outputOnly, 0, ""},  // a surrogate
        {"printf 'cut \\342\\202'", Capture::outputOnly, 0, ""},
    };
    ProcessToolRunner runner(fileSystem);
    for (const auto& c : cases) {
        auto result = runner.capture("/bin/sh", {"-c", c.script}, c.what);
        EXPECT_EQ(result.code, c.code) << c.script;
        EXPECT_EQ(result.out, c.out) << c.script;
    }
}

TEST(ProcessToolRunner, HostPathResolvesUnderTheHostRoot) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/usr/bin");
    std::string tool = dir.write("usr/bin/tool", "#!/bin/sh\necho \"$0 $1\"\n");
    ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
    HostRoot host(dir.path());
    ProcessToolRunner runner(host);
    EXPECT_EQ(runner.capture("/usr/bin/tool", {"x"}, Capture::outputOnly).out, tool + " x\n");
    EXPECT_EQ(runner.run("/usr/bin/tool", {}), 0);
}

TEST(ProcessToolRunner, ToolOverTheTimeLimitIsKilledAndReaped) {
    TempDir dir;
    std::string pidFile = dir.path() + "/pid";
    std::string grandchildFile = dir.path() + "/grandchild";
    ProcessToolRunner runner(fileSystem, 300ms);
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 30"}), -1);
    // It may have been killed before writing its pid on a busy machine.
    if (pid_t pid = pidIn(pidFile); pid > 0) {
        errno = 0;
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    // The tool ends at once but leaves the pipe open in a grandchild.
    auto left = runner.capture(
        "/bin/sh", {"-c", "sleep 30 & echo $! > " + grandchildFile + "; echo started"},
        Capture::outputOnly);
    EXPECT_EQ(left.code, -1);
    EXPECT_EQ(left.out, "timed out");
    if (pid_t pid = pidIn(grandchildFile); pid > 0) ::kill(pid, SIGKILL);
}

TEST(ProcessToolRunner, DetachedToolIsReapedWhenItEnds) {
    TempDir dir;
    std::string pidFile = dir.path() + "/pid";
    ProcessToolRunner runner(fileSystem);
    ASSERT_TRUE(runner.startDetached("/bin/sh", {"-c", "echo $$ > " + pidFile}));
    ASSERT_TRUE(eventually([&] { return pidIn(pidFile) > 0; }));
    pid_t pid = pidIn(pidFile);
    // A zombie still answers kill(pid, 0); only a reaped process is gone.
    EXPECT_TRUE(eventually([&] { return ::kill(pid, 0) != 0 && errno == ESRCH; }));
}

TEST(ProcessToolRunner, ChildStartsWithDefaultSignalsWhateverTheDaemonBlocksOrIgnores) {
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);

    ProcessToolRunner runner(fileSystem);
    for (int number : {SIGTERM, SIGINT, SIGPIPE}) {
        std::string script = "kill -" + std::to_string(number) + " $$; exit 0";
        EXPECT_EQ(runner.run("/bin/sh", {"-c", script}), 128 + number) << number;
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

#ifdef __linux__
TEST(ProcessToolRunner, NoDescriptorOfTheDaemonReachesTheTool) {
    int inheritable = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(inheritable, 0);
    ProcessToolRunner runner(fileSystem);
    auto result = runner.capture("/bin/sh", {"-c", "ls /proc/$$/fd"}, Capture::outputAndErrors);
    ::close(inheritable);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, "0\n1\n2\n");
}
#endif

TEST(ProcessToolRunner, UsableFromManyThreadsAtOnce) {
    ProcessToolRunner runner(fileSystem);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                std::string word = std::to_string(t * 100 + i);
                std::string script = "echo " + word + "; exit " + std::to_string(i);
                auto result = runner.capture("/bin/sh", {"-c", script}, Capture::outputOnly);
                if (result.code != i || result.out != word + "\n") ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vesk::test
