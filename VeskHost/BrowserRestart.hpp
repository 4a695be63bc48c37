#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// When filtering is turned on, browsers that already run keep what they resolved before,
// in their caches and open connections. A restart resets the private relay, ends the
// running browsers, deletes their caches in the console user's home, flushes the DNS
// caches and starts the same browsers again as that user. At most one every 20 seconds.
class BrowserRestart {
public:
    struct Browser {
        std::string proc;                 // the process name the tools match exactly
        std::string app;                  // the application name the launcher takes
        std::vector<std::string> caches;  // relative to the user's home
    };
    static const std::vector<Browser>& browsers();

    struct Parts {
        ToolRunner& tools;
        const ConsoleUser& console;
        const HostRoot& root;
        Clock& clock;
        SystemDNS& systemDNS;
        PrivateRelay& relay;
    };
    BrowserRestart(Parts host, BlockingPool& work) : parts(host), pool(work) {}
    BrowserRestart(const BrowserRestart&) = delete;
    BrowserRestart& operator=(const BrowserRestart&) = delete;

    // Returns at once; the restart runs on the blocking pool.
    void restartRunningAsync();
    // The restart itself, on the caller's thread: up to about 5 seconds plus the tools.
    void restartRunning();
    // Deletes the home-relative cache directories that lie inside home's Library.
    void purgeCaches(const std::vector<std::string>& caches, const std::string& home);

private:
    int run(const std::string& path, const ToolRunner::Args& args) { return parts.tools.run(path, args); }
    bool debounced();

    Parts parts;
    BlockingPool& pool;
    Log log{LogChannels::browserRestart};
    std::mutex debounceLock;  // guards lastRestartAt
    std::optional<Clock::Monotonic::time_point> lastRestartAt;
};

}  // namespace vesk
