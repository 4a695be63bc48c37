#include "ToolRunner.hpp"

#include "VeskPlatform/Platform.hpp"
#include "VeskPlatform/Utf8.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#if VESK_LINUX_PATHS
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#define VESK_SPAWN_CLOSEFROM 1
#endif

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

enum class Output { discard, outputAndErrors, outputOnly };

class Descriptor {
public:
    explicit Descriptor(int owned = -1) : fd(owned) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd; }
    void reset(int next = -1) {
        if (fd >= 0) ::close(fd);
        fd = next;
    }

private:
    int fd;
};

// The spawn file actions and attributes, released when done. The first failure to set
// them up is kept and reported as the launch error.
class SpawnSetup {
public:
    SpawnSetup() {
        note(::posix_spawn_file_actions_init(&actions));
        note(::posix_spawnattr_init(&attributes));
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void note(int result) {
        if (error == 0) error = result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = 0;
};

// A pipe end below 3 (the daemon's own standard descriptors were closed) would be
// overwritten by the child's standard descriptors before it is duplicated onto them.
int aboveStandard(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// A pipe whose ends are not inherited by any child started meanwhile by another thread.
bool makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int fds[2];
#if VESK_LINUX_PATHS
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
#else
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    readEnd.reset(aboveStandard(fds[0]));
    writeEnd.reset(aboveStandard(fds[1]));
    return readEnd.get() >= 0 && writeEnd.get() >= 0;
}

void setUpDescriptors(SpawnSetup& setup, Output output, int pipeEnd) {
    posix_spawn_file_actions_t* actions = &setup.actions;
    setup.note(::posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0));
    if (output == Output::discard) {
        setup.note(::posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0));
    } else {
        setup.note(::posix_spawn_file_actions_adddup2(actions, pipeEnd, 1));
    }
    if (output == Output::outputOnly) {
        setup.note(::posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0));
    } else {
        setup.note(::posix_spawn_file_actions_adddup2(actions, 1, 2));
    }
#if defined(VESK_SPAWN_CLOSEFROM)
    setup.note(::posix_spawn_file_actions_addclosefrom_np(actions, 3));
#endif
}

// The daemon blocks SIGTERM and SIGINT and ignores SIGPIPE; a tool must not start that way.
void setUpSignals(SpawnSetup& setup) {
    sigset_t none;
    sigset_t reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int number : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD}) sigaddset(&reset, number);
    int flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
    // Everything not set up by the file actions is closed: only 0, 1 and 2 are passed on.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    setup.note(::posix_spawnattr_setsigmask(&setup.attributes, &none));
    setup.note(::posix_spawnattr_setsigdefault(&setup.attributes, &reset));
    setup.note(::posix_spawnattr_setflags(&setup.attributes, static_cast<short>(flags)));
}

struct Launch {
    pid_t pid = -1;
    std::string error;  // why it could not start; empty when it did
};

Launch spawn(const std::string& file, const std::string& hostPath, const ToolRunner::Args& args,
             Output output, int pipeEnd) {
    SpawnSetup setup;
    setUpDescriptors(setup, output, pipeEnd);
    setUpSignals(setup);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(file.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    Launch launch;
    int error = setup.error;
    if (error == 0) {
        error = ::posix_spawn(&launch.pid, file.c_str(), &setup.actions, &setup.attributes,
                              argv.data(), environ);
    }
    if (error != 0) {
        launch.pid = -1;
        launch.error = "cannot run " + hostPath + ": " + std::strerror(error);
    }
    return launch;
}

// Shells report a death by signal as 128 + the signal; callers only tell 0 from the rest,
// and -1 stays for a tool that did not start or did not finish in time.
int exitCode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int blockingWait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exitCode(status);
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    blockingWait(pid);
}

// Milliseconds to the deadline for poll, rounded up so that it does not wake early and spin.
int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Whether fd became readable before the deadline.
bool pollUntil(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (ready > 0) return true;
        // On an error the caller's read or waitpid meets it and gives up.
        if (ready == 0 || errno != EINTR) return ready < 0;
    }
}

// The exit code once the tool has ended, or none: still running at the deadline.
std::optional<int> tryWait(pid_t pid) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    while (done < 0 && errno == EINTR) done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) return std::nullopt;
    return done == pid ? exitCode(status) : -1;
}

std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
#if VESK_LINUX_PATHS && defined(SYS_pidfd_open)
    // The descriptor turns readable when the process ends, so the loop below finds it
    // ended at once. Kernels before 5.3 lack it, and the loop polls waitpid instead.
    Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (process.get() >= 0 && !pollUntil(process.get(), deadline)) return std::nullopt;
#endif
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (auto code = tryWait(pid)) return code;
        auto now = Clock::now();
        if (now >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

// Reads fd to its end, or stops at the deadline (false): a grandchild the tool left
// running may hold the pipe open long after the tool itself is gone.
bool readUntil(int fd, Clock::time_point deadline, std::string& out) {
    char buffer[16384];
    for (;;) {
        if (!pollUntil(fd, deadline)) return false;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

}  // namespace

ProcessToolRunner::ProcessToolRunner(const HostRoot& hostRoot, std::chrono::milliseconds timeLimit)
    : root(hostRoot), limit(timeLimit) {}

int ProcessToolRunner::run(const std::string& path, const Args& args) {
    auto deadline = Clock::now() + limit;
    Launch launch = spawn(root.path(path), path, args, Output::discard, -1);
    if (launch.pid < 0) return -1;
    if (auto code = waitUntil(launch.pid, deadline)) return *code;
    killAndReap(launch.pid);
    return -1;
}

ToolRunner::Result ProcessToolRunner::capture(const std::string& path, const Args& args,
                                              Capture what) {
    auto deadline = Clock::now() + limit;
    Descriptor readEnd;
    Descriptor writeEnd;
    if (!makePipe(readEnd, writeEnd)) {
        return {-1, "cannot run " + path + ": " + std::strerror(errno)};
    }
    Output output = what == Capture::outputOnly ? Output::outputOnly : Output::outputAndErrors;
    Launch launch = spawn(root.path(path), path, args, output, writeEnd.get());
    writeEnd.reset();  // else the pipe never reaches its end
    if (launch.pid < 0) return {-1, launch.error};
    std::string out;
    std::optional<int> code;
    if (readUntil(readEnd.get(), deadline, out)) code = waitUntil(launch.pid, deadline);
    if (!code) {
        killAndReap(launch.pid);
        return {-1, "timed out"};
    }
    if (!Utf8::isValid(out)) out.clear();
    return {*code, std::move(out)};
}

bool ProcessToolRunner::startDetached(const std::string& path, const Args& args) {
    Launch launch = spawn(root.path(path), path, args, Output::discard, -1);
    if (launch.pid < 0) return false;
    pid_t pid = launch.pid;
    // Nobody waits for a detached tool, so a thread of its own reaps it. Waiting for that
    // pid only (no SIGCHLD handler, no waitpid(-1)) leaves every other child to its waiter.
    try {
        std::thread([pid] { blockingWait(pid); }).detach();
    } catch (const std::system_error&) {
        blockingWait(pid);  // no thread to be had: late rather than a zombie
    }
    return true;
}

}  // namespace vesk
