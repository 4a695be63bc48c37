#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// The platform's private relay is a way around the filter: this asks Safari whether the
// relay is active, and knocks down a relay tunnel by resetting the user's relay agent, so
// that it has to fetch its ingress again through the filtered DNS (which refuses it).
class PrivateRelay {
public:
    PrivateRelay(ToolRunner& runner, const ConsoleUser& user, const HostRoot& hostRoot, Clock& time)
        : tools(runner), console(user), root(hostRoot), clock(time) {}
    PrivateRelay(const PrivateRelay&) = delete;
    PrivateRelay& operator=(const PrivateRelay&) = delete;

    // Safari's preference, read as the console user; every answer (a false for no user
    // included) is kept for 15 seconds of the callers' clock, so the tool runs at most
    // that often.
    bool safariPrivacyProxyActive(Clock::Wall::time_point now);
    // "1" or "true" in any letter case, white space around, reads as active.
    static bool parsePrivacyProxyActive(const std::string& text);
    // Unloads the user's relay agent, deletes its preferences and starts it afresh; each
    // step that fails is logged, and success only when the agent was restarted. Blocks for
    // at least 0.8 seconds.
    void dropPrivateRelayTunnel();

private:
    ToolRunner& tools;
    const ConsoleUser& console;
    const HostRoot& root;
    Clock& clock;
    Log log{LogChannels::browserRestart};
    struct Probe {
        bool value;
        Clock::Wall::time_point at;
    };
    std::mutex proxyCacheLock;  // guards proxyCache
    std::optional<Probe> proxyCache;
    std::atomic<bool> refusalLogged{false};
};

}  // namespace vesk
