#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/Ticker.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// Safari's private relay resolves names past the filter. While filtering is on, this
// watches for the relay: it warns the console user when it first sees it, escalates when
// it is still on after a grace period, and again once per repeat period for as long as it
// stays on. Seeing it off, or filtering off, ends the episode.
class PrivacyProxyMonitor {
public:
    struct State {
        std::optional<Clock::Wall::time_point> activeSince;      // first seen active in this episode
        std::optional<Clock::Wall::time_point> lastEscalatedAt;  // last escalation in this episode
        bool operator==(const State&) const = default;
    };
    struct Action {
        enum class Kind { none, notifyUser, escalate };
        Kind kind = Kind::none;
        int64_t minutes = 0;  // escalate only: how long the relay has been seen active

        static Action none() { return {}; }
        static Action notifyUser() { return {Kind::notifyUser, 0}; }
        static Action escalate(int64_t minutes) { return {Kind::escalate, minutes}; }
        bool operator==(const Action&) const = default;
    };
    // What a tick asks the host and whom it tells.
    struct Parts {
        std::function<bool()> filteringEnabled;
        std::function<bool(Clock::Wall::time_point)> relayActive;
        std::function<void(int64_t minutes)> reportBypass;  // empty: nobody to report to
        ToolRunner& tools;
        const ConsoleUser& console;
        Clock& clock;  // wall time for the decisions, monotonic time for the schedule
    };

    // Ticks capture this monitor: the queue must be stopped before the monitor is destroyed.
    PrivacyProxyMonitor(Parts host, std::chrono::duration<double> grace,
                        std::chrono::duration<double> repeatEvery, TaskQueue& taskQueue);
    PrivacyProxyMonitor(const PrivacyProxyMonitor&) = delete;
    PrivacyProxyMonitor& operator=(const PrivacyProxyMonitor&) = delete;

    // The first tick comes first from now (10 seconds), then one every interval (which must be
    // positive), on the queue. A tick that ends late skips the fires it overran rather than
    // catching up in a burst. Call once.
    void start(std::chrono::duration<double> interval, std::chrono::duration<double> first = std::chrono::seconds(10));

    static Action decide(bool active, Clock::Wall::time_point now, State& state,
                         std::chrono::duration<double> grace, std::chrono::duration<double> repeatEvery);
    // An AppleScript statement that shows a notification. The texts cannot carry a double
    // quote into the string literals: each becomes an apostrophe.
    static std::string notificationScript(const std::string& title, const std::string& body);

    // Read only on the queue's thread.
    const State& state() const { return current; }

private:
    void check();
    void notifyUser(const std::string& title, const std::string& body);

    Parts parts;
    const std::chrono::duration<double> gracePeriod;
    const std::chrono::duration<double> repeatPeriod;
    Log log{LogChannels::proxyMonitor};
    State current;
    Ticker ticker;
};

}  // namespace vesk
