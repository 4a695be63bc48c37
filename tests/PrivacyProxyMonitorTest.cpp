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

const Clock::Wall::time_point origin = Clock::Wall::time_point{} + std::chrono::hours(24 * 365 * 56);
Clock::Wall::time_point at(int64_t seconds) { return origin + std::chrono::seconds(seconds); }

std::string describe(const Monitor::Action& action) {
    switch (action.kind) {
    case Monitor::Action::Kind::none: return "none";
    case Monitor::Action::Kind::notifyUser: return "notify";
    case Monitor::Action::Kind::escalate: return "escalate " + std::to_string(action.minutes);
    }
    return "?";
}

TEST(PrivacyProxyMonitorDecide, Episodes) {
    struct Step {
        int64_t t;
        bool active;
        const char* action;
    };
    struct Case {
        const char* name;
        std::chrono::seconds grace;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases{
        {"an inactive tick restarts the grace", 300s,
         {{0, true, "notify"}, {60, false, "none"}, {120, true, "notify"}, {360, true, "none"}, {420, true, "escalate 5"}}},
        {"an episode's escalation does not hold back the next one's", 300s,
         {{0, true, "notify"}, {300, true, "escalate 5"}, {360, false, "none"}, {420, true, "notify"},
          {720, true, "escalate 5"}}},
        {"no grace", 0s, {{0, true, "notify"}, {30, true, "escalate 1"}}},
        {"under a minute reads as one", 59s, {{0, true, "notify"}, {59, true, "escalate 1"}}},
        {"minutes are whole ones elapsed", 100s, {{0, true, "notify"}, {119, true, "escalate 1"}}},
        {"clock set back", 0s, {{600, true, "notify"}, {540, true, "none"}, {660, true, "escalate 1"}}},
        {"clock set back after an escalation", 60s,
         {{0, true, "notify"}, {600, true, "escalate 10"}, {500, true, "none"}, {4200, true, "escalate 70"}}},
    };
    for (const auto& c : cases) {
        Monitor::State state;
        for (const auto& step : c.steps) {
            EXPECT_EQ(describe(Monitor::decide(step.active, at(step.t), state, c.grace, 3600s)), step.action)
                << c.name << " at " << step.t;
        }
    }
}

TEST(PrivacyProxyMonitor, NotificationScriptKeepsQuotesOutOfTheLiterals) {
    struct Case {
        std::string title, body, script;
    };
    const std::vector<Case> cases{
        {"Hi", "There", R"(display notification "There" with title "Hi" sound name "Sosumi")"},
        {R"(say "hi")", R"("a" "b")", R"(display notification "'a' 'b'" with title "say 'hi'" sound name "Sosumi")"},
        {R"(back\slash)", R"(it's \"x)", R"(display notification "it's \'x" with title "back\slash" sound name "Sosumi")"},
    };
    for (const auto& c : cases) EXPECT_EQ(Monitor::notificationScript(c.title, c.body), c.script) << c.title;
}

const std::string expectedNotification =
    "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/osascript -e " +
    shellWord("display notification \"iCloud Private Relay is on and is bypassing the content filter in Safari. "
              "Turn it off in System Settings to stay protected.\" with title \"Safari isn’t protected\" "
              "sound name \"Sosumi\"");
const std::string notifyLine = "privacy proxy ACTIVE — Safari bypassing filter; alarming user";

// A monitor checking every minute, grace 5 minutes, repeat every hour, started at queue
// time 0; probe times are kept in seconds from then.
struct Host {
    ManualQueue queue;
    QueueClock clock{queue};
    FakeToolRunner tools;
    FakeConsoleUser console;
    bool filtering = true;
    bool relay = true;
    std::function<void()> duringProbe;
    std::vector<int64_t> probes;
    std::vector<int64_t> reports;
    Monitor monitor;

    explicit Host(bool withReporter = true)
        : monitor({[this] { return filtering; },
                   [this](Clock::Wall::time_point now) {
                       probes.push_back(std::chrono::duration_cast<std::chrono::seconds>(now - origin).count());
                       if (duringProbe) duringProbe();
                       return relay;
                   },
                   withReporter ? std::function<void(int64_t)>([this](int64_t m) { reports.push_back(m); }) : nullptr,
                   tools, console, clock},
                  300s, 3600s, queue) {
        console.uid = 501;
        monitor.start(60s);
    }
};

TEST(PrivacyProxyMonitor, FirstTickTenSecondsAfterStartThenEveryInterval) {
    Host host;
    host.queue.advance(9900ms);
    EXPECT_TRUE(host.probes.empty());
    host.queue.advance(100ms);
    host.queue.advance(120s);
    EXPECT_THAT(host.probes, ElementsAre(10, 70, 130));
}

TEST(PrivacyProxyMonitor, SlowTickIsFollowedByOneTickOnTheGrid) {
    Host host;
    host.duringProbe = [&] {
        if (host.probes.size() == 1) host.clock.sleepFor(150s);
    };
    host.queue.advance(100s);  // the clock, 150 s ahead of the queue, reads 250
    // 10 ends at 160: the fires due at 70 and 130 are merged into the one at 190.
    EXPECT_THAT(host.probes, ElementsAre(10, 190, 250));
    // The episode is timed from the probe's answer, not from when it was asked.
    EXPECT_EQ(host.monitor.state().activeSince, at(160));
}

TEST(PrivacyProxyMonitor, TickThatThrowsStillSchedulesTheNext) {
    Host host;
    host.duringProbe = [&] {
        if (host.probes.size() == 1) throw std::runtime_error("probe failed");
    };
    EXPECT_THROW(host.queue.advance(10s), std::runtime_error);
    host.queue.advance(60s);
    EXPECT_THAT(host.probes, ElementsAre(10, 70));
}

// Without a reporter the escalations are still logged.
TEST(PrivacyProxyMonitor, HourOfActiveRelayThroughTicks) {
    for (bool withReporter : {true, false}) {
        auto sink = CaptureSink::install();
        Host host(withReporter);
        host.queue.advance(10s + 3900s);
        EXPECT_THAT(host.tools.calls(), ElementsAre(expectedNotification));
        EXPECT_EQ(host.reports, (withReporter ? std::vector<int64_t>{5, 65} : std::vector<int64_t>{}));
        Log::flush();
        EXPECT_THAT(sink->texts(),
                    ElementsAre(notifyLine, "privacy proxy still active after grace (5m) — escalating to pack/spouse",
                                "privacy proxy still active after grace (65m) — escalating to pack/spouse"))
            << withReporter;
    }
}

TEST(PrivacyProxyMonitor, FilteringOffSkipsTheProbeAndEndsTheEpisode) {
    Host host;
    host.filtering = false;
    host.queue.advance(10s);
    EXPECT_TRUE(host.probes.empty());

    host.filtering = true;
    host.queue.advance(120s);  // 70 notifies, 130 does not
    EXPECT_EQ(host.tools.calls().size(), 1u);

    host.filtering = false;
    host.queue.advance(60s);
    EXPECT_THAT(host.probes, ElementsAre(70, 130));
    EXPECT_EQ(host.monitor.state(), Monitor::State{});

    host.filtering = true;  // the relay is still on: a new episode
    host.queue.advance(60s);
    EXPECT_THAT(host.tools.calls(), ElementsAre(expectedNotification, expectedNotification));
}

// Either way the episode has had its warning: no second try on the next tick.
TEST(PrivacyProxyMonitor, NotificationThatCannotBeShownIsNotRetried) {
    for (bool loggedIn : {false, true}) {
        auto sink = CaptureSink::install();
        Host host;
        if (!loggedIn) host.console.uid.reset();
        host.tools.script([](const std::string&) { return ToolRunner::Result{-1, "cannot start"}; });
        host.queue.advance(10s);
        host.console.uid = 501;
        host.queue.advance(60s);
        EXPECT_EQ(host.tools.calls().size(), loggedIn ? 1u : 0u) << loggedIn;
        Log::flush();
        EXPECT_THAT(sink->texts(), ElementsAre(notifyLine)) << loggedIn;
    }
}

}  // namespace
}  // namespace vesk::test
