#include "VeskHost/PrivacyProxyMonitor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/ManualQueue.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Monitor = PrivacyProxyMonitor;

const vesk::Clock::Wall::time_point origin = vesk::Clock::Wall::time_point{} + std::chrono::hours(24 * 365 * 56);
vesk::Clock::Wall::time_point at(int64_t seconds) { return origin + std::chrono::seconds(seconds); }

// A step's action: none, notifying the user, or escalating after that many minutes.
constexpr int64_t none = -1, notify = 0;

TEST(PrivacyProxyMonitorDecide, Episodes) {
    struct Step {
        int64_t t;
        bool active;
        int64_t action;
    };
    struct Case {
        const char* name;
        std::chrono::seconds grace;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases{
        {"an inactive tick restarts the grace", 300s,
         {{0, true, notify}, {60, false, none}, {120, true, notify}, {360, true, none}, {420, true, 5}}},
        {"an episode's escalation does not hold back the next one's", 300s,
         {{0, true, notify}, {300, true, 5}, {360, false, none}, {420, true, notify}, {720, true, 5}}},
        {"no grace", 0s, {{0, true, notify}, {30, true, 1}}},
        {"minutes are whole ones elapsed", 100s, {{0, true, notify}, {119, true, 1}}},
        {"clock set back", 0s, {{600, true, notify}, {540, true, none}, {660, true, 1}}},
        {"clock set back after an escalation", 60s,
         {{0, true, notify}, {600, true, 10}, {500, true, none}, {4200, true, 70}}},
    };
    for (const auto& c : cases) {
        Monitor::State state;
        for (const auto& step : c.steps) {
            auto expected = step.action == none     ? Monitor::Action::none()
                            : step.action == notify ? Monitor::Action::notifyUser()
                                                    : Monitor::Action::escalate(step.action);
            EXPECT_TRUE(Monitor::decide(step.active, at(step.t), state, c.grace, 3600s) == expected)
                << c.name << " at " << step.t;
        }
    }
}

const std::string expectedNotification =
    "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/osascript -e " +
    hostsim::shellQuoted("display notification \"iCloud Private Relay is on and is bypassing the content filter in Safari. "
              "Turn it off in System Settings to stay protected.\" with title \"Safari isn’t protected\" "
              "sound name \"Sosumi\"");

// A monitor checking every minute, grace 5 minutes, repeat every hour, started at queue
// time 0, with the relay on; probe times are kept in seconds from then.
struct Host {
    ManualQueue queue;
    QueueClock clock{queue};
    FakeToolRunner tools;
    FakeConsoleUser console;
    bool filtering = true;
    std::function<void()> duringProbe;
    std::vector<int64_t> probes;
    std::vector<int64_t> reports;
    Monitor monitor;

    explicit Host(bool withReporter = true)
        : monitor({[this] { return filtering; },
                   [this](vesk::Clock::Wall::time_point now) {
                       probes.push_back(std::chrono::duration_cast<std::chrono::seconds>(now - origin).count());
                       if (duringProbe) duringProbe();
                       return true;
                   },
                   withReporter ? std::function<void(int64_t)>([this](int64_t m) { reports.push_back(m); }) : nullptr,
                   tools, console, clock},
                  300s, 3600s, queue) {
        console.uid = 501;
        monitor.start(60s);
    }
};

// The first tick 10 s after the start, then on a grid of the interval: a slow tick is
// followed by one tick on the grid, not by the ones it overran, and one that throws by the
// next all the same.
TEST(PrivacyProxyMonitor, FirstTickTenSecondsAfterStartThenOnTheGrid) {
    Host host;
    host.duringProbe = [&] {
        if (host.probes.size() == 1) host.clock.sleepFor(150s);
        if (host.probes.size() == 3) throw std::runtime_error("probe failed");
    };
    host.queue.advance(9900ms);
    EXPECT_TRUE(host.probes.empty());
    // 10 ends at 160: the fires due at 70 and 130 are merged into the one at 190.
    EXPECT_THROW(host.queue.advance(100ms + 90s), std::runtime_error);  // the clock, 150 s ahead, reads 250
    // The episode is timed from the probe's answer, not from when it was asked.
    EXPECT_EQ(host.monitor.state().activeSince, at(160));
    host.queue.advance(60s);
    EXPECT_THAT(host.probes, ElementsAre(10, 190, 250, 310));
}

// Filtering off, the probe is skipped and the episode ends. An active relay is told to the
// user at once and escalated after the grace, then hourly. Without a console user nobody is
// notified, and without a reporter the escalations are still logged.
TEST(PrivacyProxyMonitor, EpisodesOfActiveRelayThroughTicks) {
    const std::string notified = "privacy proxy ACTIVE — Safari bypassing filter; alarming user",
                      escalated = "privacy proxy still active after grace (";
    for (bool complete : {true, false}) {
        auto sink = CaptureSink::install();
        Host host(complete);
        if (!complete) host.console.uid.reset();
        host.filtering = false;
        host.queue.advance(10s);
        EXPECT_TRUE(host.probes.empty());
        host.filtering = true;
        host.queue.advance(3960s);  // 70 notifies, 370 and 3970 escalate
        host.filtering = false;
        host.queue.advance(60s);
        EXPECT_EQ(host.monitor.state(), Monitor::State{});
        host.filtering = true;  // the relay is still on: a new episode
        host.queue.advance(60s);
        EXPECT_EQ(host.tools.calls(), (complete ? std::vector<std::string>(2, expectedNotification)
                                                : std::vector<std::string>{}));
        EXPECT_EQ(host.reports, (complete ? std::vector<int64_t>{5, 65} : std::vector<int64_t>{}));
        Log::flush();
        EXPECT_THAT(sink->texts(), ElementsAre(notified, escalated + "5m) — escalating to pack/spouse",
                                               escalated + "65m) — escalating to pack/spouse", notified))
            << complete;
    }
}

}  // namespace
}  // namespace vesk::test
