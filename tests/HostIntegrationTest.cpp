// The host units with the real tool runner against a simulated host: what they do is
// read back from the simulator's call log and state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/Uninstaller.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/ManualQueue.hpp"
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

// A link planted on the way (the log directory leading elsewhere) is not followed.
TEST(HostIntegrationTest, UninstallRemovesTheProductAndUnloadsTheDaemonsJob) {
    SimulatedHost host;
    fs::remove_all(host.sim.path("/Applications/VeskFilter.app"));
    fs::rename(host.sim.path("/var/log"), host.sim.path("/elsewhere"));
    fs::create_directory_symlink(host.sim.path("/elsewhere"), host.sim.path("/var/log"));
    // A process standing in for the daemon, which the unload ends.
    pid_t daemon = 0;
    char sleepPath[] = "/bin/sleep", seconds[] = "60";
    char* argv[] = {sleepPath, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&daemon, sleepPath, nullptr, nullptr, argv, environ), 0);
    host.sim.setLaunchdJobs({{"system/app.quorran.tarnik.dnsd", daemon}});
    host.sim.setServices({{"Wi-Fi", true, {"127.0.0.1"}}});
    ManualQueue queue;
    bool exited = false;
    Uninstaller uninstaller(host.systemDNS, host.tools, host.root, queue, [&] { exited = true; });

    auto sink = CaptureSink::install();
    uninstaller.performAndExit();
    for (const auto& path : Uninstaller::removalList()) EXPECT_EQ(host.sim.exists(path), path.starts_with("/var/log/")) << path;
    EXPECT_TRUE(fs::exists(host.sim.path("/elsewhere/vesk-dnsd.log")));
    EXPECT_TRUE(host.sim.exists("/var/db"));
    EXPECT_TRUE(host.sim.services()[0].servers.empty());
    Log::flush();
    EXPECT_THAT(sink->texts(), ElementsAre("uninstall: DNS restored, files removed; unloading daemon"));
    queue.advance(599ms);
    EXPECT_FALSE(exited);
    queue.advance(1ms);
    EXPECT_TRUE(exited);
    int status = 0;
    ASSERT_EQ(::waitpid(daemon, &status, 0), daemon);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(host.sim.launchdJobs().empty());
    EXPECT_EQ(host.sim.calls().back(), "launchctl bootout system/app.quorran.tarnik.dnsd");
}

}  // namespace
}  // namespace vesk::test
