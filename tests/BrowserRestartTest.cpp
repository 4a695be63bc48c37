#include "VeskHost/BrowserRestart.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::vector<std::string> relayReset{
    "/bin/launchctl bootout gui/501/com.apple.networkserviceproxy",
    "/bin/launchctl kickstart -k gui/501/com.apple.networkserviceproxy",
};

// A host where the named processes run until asked to quit; pgrep then finds them gone.
struct Host {
    FakeToolRunner tools;
    FakeConsoleUser console;
    FakeClock clock;
    HostRoot root;
    SystemDNS systemDNS{tools};
    PrivateRelay relay{tools, console, root, clock};
    BlockingPool pool{"test.browser-restart"};
    BrowserRestart restart{{tools, console, root, clock, systemDNS, relay}, pool};

    explicit Host(std::set<std::string> running) {
        console.uid = 501;
        tools.script([running](const std::string& line) -> ToolRunner::Result {
            for (const auto& proc : running) {
                if (line == "/usr/bin/killall -TERM " + shellWord(proc)) return {0, ""};
            }
            return {line.starts_with("/usr/bin/") ? 1 : 0, ""};
        });
    }
    std::vector<std::string> callsAfterRelayReset() {
        auto calls = tools.calls();
        EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 2), ElementsAreArray(relayReset));
        return {calls.begin() + 2, calls.end()};
    }
};

std::vector<std::string> termRequests() {
    std::vector<std::string> out;
    for (const auto& browser : BrowserRestart::browsers()) out.push_back("/usr/bin/killall -TERM " + shellWord(browser.proc));
    return out;
}

TEST(BrowserRestartTest, QuitsPurgesFlushesAndRelaunchesTheRunningBrowsers) {
    auto sink = CaptureSink::install();
    Host host({"Safari", "firefox"});
    host.restart.restartRunning();
    auto expected = termRequests();
    expected.insert(expected.end(), {"/usr/bin/pgrep -x Safari", "/usr/bin/pgrep -x firefox",
                                     "/usr/bin/pgrep -x Safari", "/usr/bin/pgrep -x firefox",
                                     "/usr/bin/dscacheutil -flushcache", "/usr/bin/killall -HUP mDNSResponder",
                                     "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/open -a Safari",
                                     "/bin/launchctl asuser 501 /usr/bin/sudo -u user1 /usr/bin/open -a Firefox"});
    EXPECT_EQ(host.callsAfterRelayReset(), expected);
    // Both gone at the first look: the quit wait is cut short.
    EXPECT_THAT(host.clock.slept(), ElementsAre(500ms, 300ms, 600ms));
    Log::flush();
    EXPECT_THAT(sink->texts(), ::testing::Contains("restarting browsers: Safari, Firefox"));
}

TEST(BrowserRestartTest, RestartsAreTwentySecondsApartAndNeedAConsoleUser) {
    auto sink = CaptureSink::install();
    Host host({});
    host.console.uid.reset();
    host.restart.restartRunning();  // at the login window: does not count for the debounce
    EXPECT_TRUE(host.tools.calls().empty());
    host.console.uid = 501;
    host.restart.restartRunning();
    EXPECT_EQ(host.callsAfterRelayReset(), termRequests());  // nothing runs: nothing more
    size_t afterFirst = host.tools.calls().size();
    host.clock.advance(5s);
    host.restart.restartRunningAsync();
    ASSERT_TRUE(sink->waitFor("browser restart debounced"));
    EXPECT_EQ(host.tools.calls().size(), afterFirst);
    EXPECT_THAT(sink->texts(), ElementsAre("no console user — skipping browser restart",
                                           "wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress",
                                           "browser restart debounced (within 20s)"));
    host.clock.advance(20s);
    host.restart.restartRunning();
    EXPECT_GT(host.tools.calls().size(), afterFirst);
}

TEST(BrowserRestartTest, PurgesOnlyInsideTheUsersLibrary) {
    TempDir dir;
    std::string home = dir.path() + "/Users/user1";
    for (const char* path : {"Library/Caches/com.apple.Safari", "Library/Containers/com.apple.Safari/Data/Library/Caches",
                             "Library/Caches/Firefox", "Documents/Caches", "Library/Keep"}) {
        std::filesystem::create_directories(home + "/" + path);
        std::ofstream(home + "/" + path + "/file") << "x";
    }
    Host host({"Safari"});
    host.console.user = HostRoot::Account{"user1", home};
    host.restart.restartRunning();
    host.restart.purgeCaches({"Documents/Caches", "/Library/Keep", "Library/../Documents"}, home);
    namespace fs = std::filesystem;
    EXPECT_FALSE(fs::exists(home + "/Library/Caches/com.apple.Safari"));
    EXPECT_FALSE(fs::exists(home + "/Library/Containers/com.apple.Safari/Data/Library/Caches"));
    EXPECT_TRUE(fs::exists(home + "/Library/Containers/com.apple.Safari/Data/Library"));
    EXPECT_TRUE(fs::exists(home + "/Library/Caches/Firefox/file"));  // not running
    EXPECT_TRUE(fs::exists(home + "/Documents/Caches/file"));
    EXPECT_TRUE(fs::exists(home + "/Library/Keep/file"));
}

}  // namespace
}  // namespace vesk::test
