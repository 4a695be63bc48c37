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

// A kickstart that works, and the waits and log line, show in the browser restart's tests.
TEST(PrivateRelayTest, ResetUnloadsDeletesPreferencesAndLoadsTheAgentWhenKickstartFails) {
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
        return {113, ""};
    });
    host.relay.dropPrivateRelayTunnel();
    EXPECT_THAT(host.tools.calls(),
                ElementsAre("/bin/launchctl bootout gui/501/com.apple.networkserviceproxy",
                            "/bin/launchctl kickstart -k gui/501/com.apple.networkserviceproxy",
                            "/bin/launchctl bootstrap gui/501 /System/Library/LaunchAgents/com.apple.networkserviceproxy.plist"));
    EXPECT_TRUE(goneAtKickstart);

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
