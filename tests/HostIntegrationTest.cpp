// The browser restart and the reset of the relay agent it begins with, on a fake host and
// then on a simulated one.
#include "VeskHost/BrowserRestart.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

// A host with nobody at the console yet, whose tools succeed unless scripted otherwise. A
// browser that will not quit, and what is purged, are seen on the simulated host below.
struct BrowserHost {
    FakeToolRunner tools;
    FakeConsoleUser console;
    FakeClock clock;
    HostRoot root;
    SystemDNS systemDNS{tools};
    PrivateRelay relay{tools, console, root, clock};
    BlockingPool pool{"test.browser-restart"};
    BrowserRestart restart{{tools, console, root, clock, systemDNS, relay}, pool};
};

TEST(BrowserRestartTest, RestartsAreTwentySecondsApartAndNeedAConsoleUser) {
    auto sink = CaptureSink::install();
    BrowserHost host;
    // Safari runs until asked to quit; pgrep then finds it gone.
    host.tools.script([](const std::string& line) -> ToolRunner::Result {
        return {line == "/usr/bin/killall -TERM Safari" || !line.starts_with("/usr/bin/") ? 0 : 1, ""};
    });
    host.restart.restartRunning();  // at the login window: does not count for the debounce
    EXPECT_TRUE(host.tools.calls().empty());
    host.console.uid = 501;
    host.restart.restartRunning();
    auto calls = host.tools.calls();
    EXPECT_EQ(calls.back(), "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/open -a Safari");
    // Gone at the first look: the quit wait is cut short.
    EXPECT_THAT(host.clock.slept(), ElementsAre(500ms, 300ms, 600ms));
    host.clock.advance(5s);
    host.restart.restartRunningAsync();
    ASSERT_TRUE(sink->waitFor("browser restart debounced"));
    EXPECT_EQ(host.tools.calls().size(), calls.size());
    EXPECT_THAT(sink->texts(), ElementsAre("no console user — skipping browser restart",
                                           "wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress",
                                           "restarting browsers: Safari", "browser restart debounced (within 20s)"));
    host.clock.advance(20s);
    host.restart.restartRunning();
    EXPECT_GT(host.tools.calls().size(), calls.size());
}

TEST(PrivateRelayTest, ParsesOnlyOneAndTrueAsActive) {
    for (const char* text : {"1\n", "  TRUE \n"}) EXPECT_TRUE(PrivateRelay::parsePrivacyProxyActive(text)) << text;
    for (const char* text : {"yes", "", "10"}) EXPECT_FALSE(PrivateRelay::parsePrivacyProxyActive(text)) << text;
}

TEST(PrivateRelayTest, ProbesAsTheConsoleUserAndKeepsEveryAnswerFifteenSeconds) {
    BrowserHost host;
    auto start = host.clock.wallNow();
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start));  // the login window's false is kept too
    host.console.uid = 501;
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {0, "1\n"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(start + 14s));
    auto probed = start + 15s;
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(probed));
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(probed - 60s));  // a clock moved back: still fresh
    EXPECT_THAT(host.tools.calls(),
                ElementsAre("/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/defaults read com.apple.Safari "
                            "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"));
    host.tools.script([](const std::string&) -> ToolRunner::Result { return {-1, "cannot run"}; });
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(probed + 15s));
}

// Two resets each, with launchctl's status per step: a reset that did not work never says
// it did, and the system's refusal is said once.
TEST(PrivateRelayTest, ResetRunsItsStepsAndSaysWhatReallyHappened) {
    const std::string kickstart = "/bin/launchctl kickstart -k gui/501/com.apple.networkserviceproxy",
                      restarted = "wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress",
                      refused = "relay agent cannot be restarted: protected by the system",
                      bootstrap = "/bin/launchctl bootstrap gui/501 "
                                  "/System/Library/LaunchAgents/com.apple.networkserviceproxy.plist";
    const struct {
        int bootout, kickstart, bootstrap;  // a failed kickstart loads the agent from its job instead
        std::string said;
    } cases[] = {
        {0, 0, 0, restarted},
        {3, 113, 0, restarted},
        {0, 113, 5, "relay agent was not restarted"},
        {150, 150, 0, refused},
    };
    TempDir home;
    std::filesystem::create_directories(home.path() + "/Library/Preferences");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        std::string preferences = home.write("Library/Preferences/com.apple.networkserviceproxy.plist", "<plist/>");
        BrowserHost host;
        host.console.uid = 501;
        host.console.user = HostRoot::Account{"user1", home.path()};
        // The preferences go between the unload and the restart.
        bool goneAtKickstart = false;
        host.tools.script([&](const std::string& line) -> ToolRunner::Result {
            if (line == kickstart) goneAtKickstart = !std::filesystem::exists(preferences);
            int status = line.find(" bootout ") != std::string::npos ? c.bootout
                         : line == kickstart                         ? c.kickstart
                                                                     : c.bootstrap;
            return {status, ""};
        });
        auto sink = CaptureSink::install();
        host.relay.dropPrivateRelayTunnel();
        host.relay.dropPrivateRelayTunnel();
        Log::flush();
        EXPECT_TRUE(goneAtKickstart);
        EXPECT_EQ(host.tools.calls().back(), c.kickstart == 113 ? bootstrap : kickstart);
        auto logged = sink->texts();
        EXPECT_EQ(std::count(logged.begin(), logged.end(), c.said), c.said == refused ? 1 : 2);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), restarted), c.said == restarted ? 2 : 0);
    }

    // Without a console user there is no agent to reset.
    BrowserHost nobody;
    nobody.relay.dropPrivateRelayTunnel();
    EXPECT_TRUE(nobody.tools.calls().empty());
}

// The same units with the real tool runner against a simulated host: what they do is read
// back from the simulator's call log and state.
TEST(HostIntegrationTest, RestartEndsPurgesAndRelaunchesBrowsersWithoutFollowingPlantedLinks) {
    TempDir dir;
    HostSim sim = HostSim::install(dir.path());
    HostRoot root{dir.path()};
    ProcessToolRunner tools{root};
    HostConsoleUser console{root};
    FakeClock clock;  // the units' waits cost no time; the tools are real
    SystemDNS systemDNS{tools};
    PrivateRelay relay{tools, console, root, clock};
    BlockingPool pool{"test.host"};
    BrowserRestart restart{{tools, console, root, clock, systemDNS, relay}, pool};
    sim.setProcesses({{"Safari"}, {"firefox", true}, {"Finder"}, {"mDNSResponder"}});
    // The user plants links where the caches were, pointing at files of the system.
    fs::create_directories(sim.path("/Library/Precious/Data/Library/Caches"));
    std::ofstream(sim.path("/Library/Precious/Data/Library/Caches/file")) << "keep";
    std::string library = sim.path("/Users/user1/Library");
    for (const char* cache : {"/Caches/Firefox", "/Containers/com.apple.Safari"}) {
        fs::remove_all(library + cache);
        fs::create_symlink(sim.path("/Library/Precious"), library + cache);
    }
    sim.clearCalls();

    restart.restartRunning();

    // The relay agent is the system's: both steps are refused, and nothing is loaded anew.
    std::string uid = std::to_string(sim.consoleUid()), asUser = "launchctl asuser " + uid + " /usr/bin/sudo -u user1 ";
    std::vector<std::string> expected{"launchctl bootout gui/" + uid + "/com.apple.networkserviceproxy",
                                      "launchctl kickstart -k gui/" + uid + "/com.apple.networkserviceproxy"};
    for (const auto& browser : BrowserRestart::browsers()) {
        expected.push_back("killall -TERM " + hostsim::shellQuoted(browser.proc));
    }
    // Each look finds Safari gone and firefox, which ignores TERM, still there; 4 s of looks.
    for (int look = 0; look < 17; ++look) expected.insert(expected.end(), {"pgrep -x Safari", "pgrep -x firefox"});
    expected.insert(expected.end(), {"killall -KILL firefox", "dscacheutil -flushcache", "killall -HUP mDNSResponder"});
    for (const char* app : {"Safari", "Firefox"}) {
        std::string open = std::string("open -a ") + app;
        expected.insert(expected.end(), {asUser + "/usr/bin/" + open, "sudo -u user1 /usr/bin/" + open, open});
    }
    EXPECT_EQ(sim.calls(), expected);
    EXPECT_THAT(sim.processes(), ElementsAre("Finder", "mDNSResponder", "Safari", "firefox"));
    EXPECT_FALSE(fs::exists(library + "/Caches/com.apple.Safari"));
    EXPECT_FALSE(fs::is_symlink(library + "/Caches/Firefox"));              // the link itself goes
    EXPECT_TRUE(fs::is_symlink(library + "/Containers/com.apple.Safari"));  // a link on the way stops
    EXPECT_TRUE(fs::exists(sim.path("/Library/Precious/Data/Library/Caches/file")));
    EXPECT_TRUE(fs::exists(library + "/Caches/Google/Chrome"));  // not running
    EXPECT_FALSE(fs::exists(library + "/Preferences/com.apple.networkserviceproxy.plist"));
    // Only what lies inside the user's Library is purged.
    fs::create_directories(sim.path("/Users/user1/Documents/Caches"));
    restart.purgeCaches({"Documents/Caches", "Library/../Documents"}, "/Users/user1");
    EXPECT_TRUE(fs::exists(sim.path("/Users/user1/Documents/Caches")));
}

}  // namespace
}  // namespace vesk::test
