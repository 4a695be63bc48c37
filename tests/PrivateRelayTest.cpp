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
    "/bin/launchctl asuser 501 /usr/bin/defaults read com.apple.Safari WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork";

struct Host {
    FakeToolRunner tools;
    FakeConsoleUser console;
    FakeClock clock;
    HostRoot root;
    PrivateRelay relay{tools, console, root, clock};
};

TEST(PrivateRelayTest, ParsesOnlyOneAndTrueAsActive) {
    const std::pair<const char*, bool> cases[] = {
        {"1\n", true}, {"  TRUE \n", true}, {"true", true}, {"0\n", false}, {"yes", false},
        {"", false},   {"10", false},       {"The domain/default pair does not exist", false},
    };
    for (const auto& [text, active] : cases) EXPECT_EQ(PrivateRelay::parsePrivacyProxyActive(text), active) << text;
}

TEST(PrivateRelayTest, ProbesAsTheConsoleUserAndKeepsEveryAnswerFifteenSeconds) {
    Host host;
    host.console.uid = 501;
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {0, "1\n"}; });
    auto start = host.clock.wallNow();
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(start));
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(start + 10s));
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(start - 60s));  // a clock moved back: still fresh
    EXPECT_THAT(host.tools.calls(), ElementsAre(probe));
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {-1, "cannot run"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start + 15s));
    EXPECT_EQ(host.tools.calls().size(), 2u);
}

TEST(PrivateRelayTest, TheLoginWindowsFalseIsKeptToo) {
    Host host;
    auto start = host.clock.wallNow();
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start));
    host.console.uid = 501;
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {0, "1\n"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start + 14s));
    EXPECT_TRUE(host.tools.calls().empty());
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(start + 15s));
}

TEST(PrivateRelayTest, ResetUnloadsDeletesPreferencesAndRestartsOrLoadsTheAgent) {
    for (bool kickstartFails : {false, true}) {
        SCOPED_TRACE(kickstartFails ? "kickstart fails" : "kickstart works");
        auto sink = CaptureSink::install();
        TempDir home;
        std::filesystem::create_directories(home.path() + "/Library/Preferences");
        std::string preferences = home.path() + "/Library/Preferences/com.apple.networkserviceproxy.plist";
        std::ofstream(preferences) << "<plist/>";
        Host host;
        host.console.uid = 501;
        host.console.homeDirectory = home.path();
        // The preferences go between the unload and the restart.
        bool goneAtKickstart = false;
        host.tools.script([&](const std::string& line) -> ToolRunner::Result {
            if (!line.starts_with("/bin/launchctl kickstart")) return {3, ""};
            goneAtKickstart = !std::filesystem::exists(preferences);
            return {kickstartFails ? 113 : 0, ""};
        });
        host.relay.dropPrivateRelayTunnel();
        std::vector<std::string> expected{"/bin/launchctl bootout gui/501/com.apple.networkserviceproxy",
                                          "/bin/launchctl kickstart -k gui/501/com.apple.networkserviceproxy"};
        if (kickstartFails) {
            expected.push_back(
                "/bin/launchctl bootstrap gui/501 /System/Library/LaunchAgents/com.apple.networkserviceproxy.plist");
        }
        EXPECT_EQ(host.tools.calls(), expected);
        EXPECT_TRUE(goneAtKickstart);
        EXPECT_THAT(host.clock.slept(), ElementsAre(500ms, 300ms));
        Log::flush();
        EXPECT_THAT(sink->texts(),
                    ElementsAre("wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress"));
    }
}

TEST(PrivateRelayTest, ResetWithoutAConsoleUserDoesNothing) {
    auto sink = CaptureSink::install();
    Host host;
    host.relay.dropPrivateRelayTunnel();
    Log::flush();
    EXPECT_TRUE(host.tools.calls().empty());
    EXPECT_TRUE(sink->texts().empty());
}

}  // namespace
}  // namespace vesk::test
