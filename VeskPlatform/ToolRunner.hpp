#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "VeskPlatform/HostRoot.hpp"

namespace vesk {

// How the daemon runs the host's command-line tools. Paths are the host's own
// ("/usr/sbin/networksetup"); the real runner resolves them through the host root. The
// arguments are passed as they are, one each, with no shell in between.
class ToolRunner {
public:
    using Args = std::vector<std::string>;
    struct Result {
        int code;         // the exit status; -1 when the tool could not be started or timed out
        std::string out;  // the captured output (UTF-8, else empty), or why it could not start
    };
    enum class Capture { outputAndErrors, outputOnly };

    virtual ~ToolRunner() = default;
    // Runs the tool with its output discarded and waits for it.
    virtual int run(const std::string& path, const Args& args) = 0;
    // Runs the tool and waits for it, collecting what it writes: standard output and error
    // together, or standard output alone (standard error then goes nowhere).
    virtual Result capture(const std::string& path, const Args& args, Capture what) = 0;
    // Starts the tool and returns at once, output discarded; it is still reaped when it
    // ends. False when it could not be started.
    virtual bool startDetached(const std::string& path, const Args& args) = 0;
};

// Runs tools as child processes (posix_spawn): standard input from the null device, and no
// descriptor of the daemon's inherited. A waited tool still running after the time limit
// is killed and reaped and reads as a failure (-1, with "timed out" as its output).
class ProcessToolRunner final : public ToolRunner {
public:
    explicit ProcessToolRunner(const HostRoot& root,
                               std::chrono::milliseconds limit = std::chrono::seconds(30));

    int run(const std::string& path, const Args& args) override;
    Result capture(const std::string& path, const Args& args, Capture what) override;
    bool startDetached(const std::string& path, const Args& args) override;

private:
    const HostRoot& root;
    const std::chrono::milliseconds limit;
};

}  // namespace vesk
