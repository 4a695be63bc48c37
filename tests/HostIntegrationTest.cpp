// The host units with the real tool runner against a simulated host: what they do is
// read back from the simulator's call log and state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VeskHost/BrowserRestart.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using ::testing::ElementsAre;
namespace fs = std::filesystem;

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
