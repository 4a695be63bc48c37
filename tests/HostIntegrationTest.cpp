// The host units with the real tool runner against a simulated host: what they do is
// read back from the simulator's call log and state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

struct SimulatedHost {
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
    std::string uid = std::to_string(sim.consoleUid());
    std::string asUser = "launchctl asuser " + uid + " /usr/bin/sudo -u user1 /usr/bin/";

    SimulatedHost() { sim.clearCalls(); }
};

TEST(HostIntegrationTest, RestartEndsPurgesAndRelaunchesBrowsersWithoutFollowingPlantedLinks) {
    SimulatedHost host;
    host.sim.setProcesses({{"Safari"}, {"firefox", true}, {"Finder"}, {"mDNSResponder"}});
    // The user plants links where the caches were, pointing at files of the system.
    fs::create_directories(host.sim.path("/Library/Precious/Data/Library/Caches"));
    std::ofstream(host.sim.path("/Library/Precious/file")) << "keep";
    std::ofstream(host.sim.path("/Library/Precious/Data/Library/Caches/file")) << "keep";
    std::string library = host.sim.path("/Users/user1/Library");
    fs::remove_all(library + "/Caches/Firefox");
    fs::create_symlink(host.sim.path("/Library/Precious"), library + "/Caches/Firefox");
    fs::remove_all(library + "/Containers/com.apple.Safari");
    fs::create_symlink(host.sim.path("/Library/Precious"), library + "/Containers/com.apple.Safari");

    host.restart.restartRunning();

    // The relay agent is the system's: both steps are refused, and nothing is loaded anew.
    std::vector<std::string> expected{"launchctl bootout gui/" + host.uid + "/com.apple.networkserviceproxy",
                                      "launchctl kickstart -k gui/" + host.uid + "/com.apple.networkserviceproxy"};
    for (const auto& browser : BrowserRestart::browsers()) expected.push_back("killall -TERM " + shellWord(browser.proc));
    // Each look finds Safari gone and firefox, which ignores TERM, still there; 4 s of looks.
    for (int look = 0; look < 16; ++look) expected.insert(expected.end(), {"pgrep -x Safari", "pgrep -x firefox"});
    expected.insert(expected.end(), {"pgrep -x Safari", "pgrep -x firefox", "killall -KILL firefox",
                                     "dscacheutil -flushcache", "killall -HUP mDNSResponder",
                                     host.asUser + "open -a Safari", "sudo -u user1 /usr/bin/open -a Safari",
                                     "open -a Safari", host.asUser + "open -a Firefox",
                                     "sudo -u user1 /usr/bin/open -a Firefox", "open -a Firefox"});
    EXPECT_EQ(host.sim.calls(), expected);
    EXPECT_THAT(host.sim.processes(), ElementsAre("Finder", "mDNSResponder", "Safari", "firefox"));
    EXPECT_FALSE(fs::exists(library + "/Caches/com.apple.Safari"));
    EXPECT_FALSE(fs::is_symlink(library + "/Caches/Firefox"));       // the link itself goes
    EXPECT_TRUE(fs::is_symlink(library + "/Containers/com.apple.Safari"));  // a link on the way stops
    EXPECT_TRUE(fs::exists(host.sim.path("/Library/Precious/file")));
    EXPECT_TRUE(fs::exists(host.sim.path("/Library/Precious/Data/Library/Caches/file")));
    EXPECT_TRUE(fs::exists(library + "/Caches/Google/Chrome"));  // not running
    EXPECT_FALSE(fs::exists(library + "/Preferences/com.apple.networkserviceproxy.plist"));
    EXPECT_THAT(host.sim.launchdJobs(), ::testing::Contains("gui/" + host.uid + "/com.apple.networkserviceproxy"));
}

TEST(HostIntegrationTest, RelayProbeReadsSafarisPreferenceAsTheConsoleUser) {
    SimulatedHost host;
    auto now = host.clock.wallNow();
    EXPECT_FALSE(host.relay.safariPrivacyProxyActive(now));
    host.sim.setSafariRelay("1");
    EXPECT_TRUE(host.relay.safariPrivacyProxyActive(now + 15s));
    std::string read = "defaults read com.apple.Safari WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork";
    EXPECT_THAT(host.sim.calls(), ElementsAre(host.asUser + read, "sudo -u user1 /usr/bin/" + read, read,
                                              host.asUser + read, "sudo -u user1 /usr/bin/" + read, read));
}

}  // namespace
}  // namespace vesk::test
