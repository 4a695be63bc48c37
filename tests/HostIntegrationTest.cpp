// The host units with the real tool runner against a simulated host: what they do is
// read back from the simulator's call log and state. Then what those tests do not already
// show of the simulator itself: how the host looks a name up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "VeskHost/BrowserRestart.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/FakeUpstream.hpp"
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

// What dscacheutil -q host prints for one address.
std::string found(const std::string& name, const std::string& address) {
    return "name: " + name + (address.find(':') == std::string::npos ? "\nip_address: " : "\nipv6_address: ") +
           address + "\n\n";
}

// A resolver file for the name's domain, else the hosts file, else the first enabled
// service's server; a server off this machine is never sent anything.
TEST(HostSimTest, LooksUpThroughResolverFilesThenHostsThenTheService) {
    TempDir dir;
    HostSim host = HostSim::install(dir.path());
    // The host's own lookup run as the daemon runs its tools, by their local path; with env
    // naming the port of 127.0.0.1's DNS server, or else on the resolver file's port.
    auto lookUp = [&](const std::string& name, const std::string& env = "") {
        std::string command = env + host.path("/usr/bin/dscacheutil") + " -q host -a name " + name + " 2>/dev/null";
        std::string printed;
        FILE* pipe = ::popen(command.c_str(), "r");
        for (char buffer[256]; ::fgets(buffer, sizeof buffer, pipe) != nullptr;) printed += buffer;
        EXPECT_EQ(::pclose(pipe), 0) << command;
        return printed;
    };
    FakeUpstream upstream(FakeUpstream::address(1));
    host.setServices({{"Bluetooth PAN", false, {"8.8.8.8"}}, {"Wi-Fi", true, {"127.0.0.1"}}});
    host.writeResolverFile("example.com", {"nameserver 8.8.8.8"});
    host.writeResolverFile("sub", {"# the more specific, though listed after", "domain A.example.com.",
                                   "nameserver 127.0.0.1 # ours", "port " + std::to_string(upstream.port())});
    host.setHostsFile({"192.0.2.77 Printer.local printer  # office", "", "2001:db8::7 printer.local"});
    const std::pair<std::string, std::string> cases[] = {
        {"www.a.example.com", found("www.a.example.com", "192.0.2.1")},  // by the domain line
        {"www.example.com", ""},                                         // the file, not the service
        {"notexample.com", found("notexample.com", "192.0.2.1")},        // no file: the service
        {"sub", found("sub", "192.0.2.1")},                              // nor by the file's name
        {"PRINTER.local", found("PRINTER.local", "192.0.2.77") + found("PRINTER.local", "2001:db8::7")},
    };
    std::string port = "VESK_HOSTSIM_DNS_PORT=" + std::to_string(upstream.port()) + " ";
    for (const auto& [name, printed] : cases) EXPECT_EQ(lookUp(name, port), printed) << name;
    EXPECT_EQ(lookUp("a.example.com"), found("a.example.com", "192.0.2.1"));
}

}  // namespace
}  // namespace vesk::test
