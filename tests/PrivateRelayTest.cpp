#include "VeskHost/PrivateRelay.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

constexpr const char* probe =
    "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/defaults read com.apple.Safari "
    "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork";

struct Host {
    FakeToolRunner tools;
    FakeConsoleUser console;
    FakeClock clock;
    HostRoot root;
    PrivateRelay relay{tools, console, root, clock};
};

TEST(PrivateRelayTest, ParsesOnlyOneAndTrueAsActive) {
    const std::pair<const char*, bool> cases[] = {
        {"1\n", true}, {"  TRUE \n", true}, {"yes", false}, {"", false}, {"10", false},
        {"The domain/default pair does not exist", false},
    };
    for (const auto& [text, active] : cases) EXPECT_EQ(PrivateRelay::parsePrivacyProxyActive(text), active) << text;
}

TEST(PrivateRelayTest, ProbesAsTheConsoleUserAndKeepsEveryAnswerFifteenSeconds) {
    Host host;
    auto start = host.clock.wallNow();
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start));  // the login window's false is kept too
    host.console.uid = 501;
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {0, "1\n"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start + 14s));
    EXPECT_TRUE(host.tools.calls().empty());
    auto probed = start + 15s;
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(probed));
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(probed - 60s));  // a clock moved back: still fresh
    EXPECT_THAT(host.tools.calls(), ElementsAre(probe));
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {-1, "cannot run"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(probed + 15s));
    EXPECT_EQ(host.tools.calls().size(), 2u);
}

constexpr const char* bootout = "/bin/launchctl bootout gui/501/com.apple.networkserviceproxy";
constexpr const char* kickstart = "/bin/launchctl kickstart -k gui/501/com.apple.networkserviceproxy";
constexpr const char* bootstrap =
    "/bin/launchctl bootstrap gui/501 /System/Library/LaunchAgents/com.apple.networkserviceproxy.plist";
constexpr const char* restarted = "wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress";

// Two resets each: launchctl's status per step, the steps run and what is said. A reset
// that did not work never says it did; the system's refusal is said once.
TEST(PrivateRelayTest, ResetRunsItsStepsAndSaysWhatReallyHappened) {
    struct Case {
        int bootout, kickstart, bootstrap;
        std::vector<std::string> calls;
        std::string said;
        long times = 2;
        std::string failure = "";  // one step's failure, as logged
    };
    const Case cases[] = {
        {0, 0, 0, {bootout, kickstart}, restarted},
        {3, 113, 0, {bootout, kickstart, bootstrap}, restarted, 2,
         "relay reset: launchctl bootout gui/501/com.apple.networkserviceproxy failed (status 3): No such process"},
        {0, 113, 5, {bootout, kickstart, bootstrap}, "relay agent was not restarted"},
        {150, 150, 0, {bootout, kickstart}, "relay agent cannot be restarted: protected by the system", 1},
    };
    for (const auto& c : cases) {
        TempDir home;
        std::filesystem::create_directories(home.path() + "/Library/Preferences");
        std::string preferences = home.path() + "/Library/Preferences/com.apple.networkserviceproxy.plist";
        std::ofstream(preferences) << "<plist/>";
        Host host;
        host.console.uid = 501;
        host.console.user = HostRoot::Account{"user1", home.path()};
        // The preferences go between the unload and the restart.
        bool goneAtKickstart = false;
        host.tools.script([&](const std::string& line) -> ToolRunner::Result {
            if (line == kickstart) goneAtKickstart = !std::filesystem::exists(preferences);
            int status = line == bootout ? c.bootout : line == kickstart ? c.kickstart : c.bootstrap;
            return {status, status == 0 ? "" : "No such process\n"};
        });
        auto sink = CaptureSink::install();
        host.relay.dropPrivateRelayTunnel();
        host.relay.dropPrivateRelayTunnel();
        Log::flush();
        auto expected = c.calls;
        expected.insert(expected.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(host.tools.calls(), expected) << c.said;
        EXPECT_TRUE(goneAtKickstart);
        auto logged = sink->texts();
        EXPECT_EQ(std::count(logged.begin(), logged.end(), c.said), c.times) << c.said;
        EXPECT_EQ(std::count(logged.begin(), logged.end(), restarted), c.said == restarted ? 2 : 0);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), c.failure), c.failure.empty() ? 0 : 2);
    }

    // Without a console user there is no agent to reset.
    auto sink = CaptureSink::install();
    Host nobody;
    nobody.relay.dropPrivateRelayTunnel();
    Log::flush();
    EXPECT_TRUE(nobody.tools.calls().empty());
    EXPECT_TRUE(sink->texts().empty());
}

}  // namespace
}  // namespace vesk::test
