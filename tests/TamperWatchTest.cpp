#include "VeskHost/TamperWatch.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "tests/support/FakeHost.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Reports = std::vector<std::pair<std::string, std::string>>;

constexpr const char* setWifi = "/usr/sbin/networksetup -setdnsservers Wi-Fi 127.0.0.1";

// A host under a temporary root: networksetup answers from services (a set changes them
// unless sticky, as when someone keeps changing them back), the files are real, and the
// canary lookup reaches the filter unless told otherwise.
class TamperWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() + "/etc/resolver");
        tools.script([this](const std::string& line) -> ToolRunner::Result {
            if (onTool) onTool(line);
            if (line.ends_with("-listallnetworkservices")) return {0, "An asterisk (*) denotes...\nWi-Fi\nEthernet\n"};
            for (auto& [service, servers] : services) {
                if (line.ends_with("-getdnsservers " + service)) return {0, servers};
                if (line.starts_with("/usr/sbin/networksetup -setdnsservers " + service + " ") && !sticky) {
                    servers = "127.0.0.1\n";
                }
            }
            return {0, ""};
        });
    }
    void turnOn() { FilterIntent::Change change(intent, true); }
    // Runs the ticks due over the next interval.
    void tick(std::chrono::seconds after = 10s) {
        tools.clear();
        queue.advance(after);
    }
    std::vector<std::string> sets() const {
        std::vector<std::string> found;
        for (const auto& call : tools.calls()) {
            if (call.find("-setdnsservers") != std::string::npos || call.find("flushcache") != std::string::npos) {
                found.push_back(call);
            }
        }
        return found;
    }

    TempDir dir;
    HostRoot host{dir.path()};
    FakeToolRunner tools;
    std::function<void(const std::string&)> onTool;
    std::map<std::string, std::string> services{{"Wi-Fi", "127.0.0.1\n"}, {"Ethernet", "127.0.0.1\n"}};
    bool sticky = false;
    ManualQueue queue;
    QueueClock clock{queue};
    SystemDNS systemDNS{tools};
    FilterIntent intent{dir.path() + "/etc/vesk/filter.intended"};
    Blocklist blocklist{std::vector<std::string>{"adult.example", "a.b.deep.net"}};
    bool canaryReaches = true;
    SystemLookup::Result lookupResult;
    bool armed = false, came = false;
    Reports reports;
    TamperWatch watch{{intent, systemDNS, blocklist, host,
                       [this] {
                           armed = true;
                           came = false;
                           return std::string("0123456789abcdef.canary.dnsd.quorran.app");
                       },
                       [this](const std::string&) {
                           came = armed && canaryReaches;
                           return lookupResult;
                       },
                       [this](Clock::Monotonic::time_point) { return came; },
                       [this](const std::string& via, const std::string& what) { reports.emplace_back(via, what); },
                       clock},
                      queue};
};

TEST_F(TamperWatchTest, OffIsSilentAndACleanHostCostsOnlyTheReads) {
    services["Wi-Fi"] = "8.8.8.8\n";
    dir.write("etc/resolver/com", "nameserver 8.8.8.8\n");
    watch.start();
    tick(9s);
    tick(20s);
    EXPECT_TRUE(tools.calls().empty());
    EXPECT_FALSE(armed);

    services["Wi-Fi"] = "127.0.0.1\n";
    std::filesystem::remove(dir.path() + "/etc/resolver/com");
    turnOn();
    tick();
    EXPECT_THAT(tools.calls(), ElementsAre("/usr/sbin/networksetup -listallnetworkservices",
                                           "/usr/sbin/networksetup -getdnsservers Wi-Fi",
                                           "/usr/sbin/networksetup -getdnsservers Ethernet"));
    EXPECT_TRUE(armed);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(watch.status().since);
}

// Someone who keeps changing them back is told of once an hour; settings that stay put
// after one restore clear, and a later change is new.
TEST_F(TamperWatchTest, SettingsArePutBackAndToldOncePerHourWhileTheyPersist) {
    turnOn();
    watch.start();
    services["Wi-Fi"] = "8.8.8.8\n1.1.1.1\n";
    services["Ethernet"] = "There aren't any DNS Servers set on Ethernet.\n";
    sticky = true;
    tick();
    EXPECT_THAT(sets(), ElementsAre(setWifi, "/usr/sbin/networksetup -setdnsservers Ethernet 127.0.0.1",
                                    "/usr/bin/dscacheutil -flushcache"));
    EXPECT_EQ(reports, (Reports{{"dns_settings", "Wi-Fi, Ethernet"}}));
    auto firstSeen = clock.wallNow();
    EXPECT_EQ(watch.status().since, firstSeen);
    EXPECT_THAT(watch.status().via, ElementsAre("dns_settings"));
    EXPECT_TRUE(systemDNS.isEnabled());

    for (int i = 0; i < 359; ++i) tick();  // 59 min 50 s after the first report
    EXPECT_EQ(reports.size(), 1u);
    tick();
    EXPECT_EQ(reports.size(), 2u);

    sticky = false;
    tick();  // put back for good this time: still a finding
    tick();
    EXPECT_FALSE(watch.status().since);
    services["Wi-Fi"] = "9.9.9.9\n";
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "Wi-Fi, Ethernet"}, {"dns_settings", "Wi-Fi, Ethernet"},
                                {"dns_settings", "Wi-Fi"}}));
}

TEST_F(TamperWatchTest, ResolverFilesAreReportedOnlyForDomainsTheFilterCovers) {
    struct Case {
        const char* file;
        const char* text;
        bool reported;
    };
    const Case cases[] = {
        {"com", "nameserver 8.8.8.8\n", true},
        {"adult.example", "# sends it away\nnameserver 127.0.0.1\nnameserver 9.9.9.9\n", true},
        {"www.adult.example", "nameserver 9.9.9.9\n", true},  // under a listed name
        {"deep.net", "nameserver 9.9.9.9\n", true},           // a parent of a listed name
        {"internal", "domain Adult.Example.\nnameserver 10.0.0.1\n", true},
        {"docker.internal", "nameserver 192.168.65.7\n", false},
        {"corp.example", "nameserver 10.0.0.1\n", false},
        {"org", "nameserver 127.0.0.1\n", false},
        {"net", "search example\n", false},
        {"eep.net", "nameserver 9.9.9.9\n", false},
        {"apple.com", "nameserver 9.9.9.9\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::filesystem::remove_all(dir.path() + "/etc/resolver");
        std::filesystem::create_directories(dir.path() + "/etc/resolver");
        dir.write(std::string("etc/resolver/") + c.file, c.text);
        intent.beginChange(false);
        intent.endChange();
        watch.check();  // off: the next finding is new
        turnOn();
        reports.clear();
        watch.check();
        Reports expected;
        if (c.reported) expected.emplace_back("resolver_file", std::string("/etc/resolver/") + c.file);
        EXPECT_EQ(reports, expected);
    }
}

TEST_F(TamperWatchTest, HostsLinesAreReportedWhenTheyGiveARefusedNameAnAddress) {
    dir.write("etc/hosts",
              "127.0.0.1 localhost\n"
              "203.0.113.5 www.adult.example other.test  # for later\n"
              "0.0.0.0 adult.example\n"       // blocking, not giving away
              "::1 x.adult.example\n"
              "203.0.113.6 apple.com push.apple.com\n"  // never blocked
              "203.0.113.7 dns.google\n"
              "# 203.0.113.8 a.b.deep.net\n"
              "2001:db8::1\tA.B.DEEP.NET.\n");
    turnOn();
    watch.check();
    EXPECT_EQ(reports, (Reports{{"hosts_file", "www.adult.example, dns.google, a.b.deep.net"}}));
}

TEST_F(TamperWatchTest, TheCanaryMustReachTheFilterAndGetNoAddress) {
    struct Case {
        const char* name;
        bool reaches;
        SystemLookup::Result result;
        std::optional<std::string> what;
    };
    const Case cases[] = {
        {"through the filter", true, {}, std::nullopt},
        {"answered elsewhere", false, {}, "no address"},
        {"an address from somewhere", true, {{"192.0.2.1"}, {}}, "answered 192.0.2.1"},
        {"the lookup failed", false, {{}, "timed out"}, "failed: timed out"},
    };
    turnOn();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        canaryReaches = c.reaches;
        lookupResult = c.result;
        reports.clear();
        intent.beginChange(false);
        intent.endChange();
        watch.check();  // off: the next finding is new
        turnOn();
        watch.check();
        Reports expected;
        if (c.what) expected.emplace_back("canary", *c.what);
        EXPECT_EQ(reports, expected);
    }
}

// A disable that comes while a tick reads the host must not be undone, and an enable in
// the middle of one is never itself a finding.
TEST_F(TamperWatchTest, AChangeOfIntentDuringATickWins) {
    turnOn();
    services["Wi-Fi"] = "";
    onTool = [this](const std::string& line) {
        if (line.ends_with("-getdnsservers Wi-Fi")) intent.beginChange(false);
    };
    watch.check();
    intent.endChange();
    EXPECT_TRUE(sets().empty());
    EXPECT_TRUE(reports.empty());

    turnOn();
    onTool = [this](const std::string& line) {
        if (line.ends_with("-getdnsservers Ethernet")) turnOn();
    };
    services["Wi-Fi"] = "8.8.8.8\n";
    watch.check();
    EXPECT_TRUE(reports.empty());
}

TEST(FilterIntentTest, SurvivesARestartInARootOnlyFile) {
    TempDir dir;
    std::string file = dir.path() + "/etc/vesk/filter.intended";
    {
        FilterIntent intent(file);
        EXPECT_FALSE(intent.on());
        FilterIntent::Change change(intent, true);
        EXPECT_EQ(intent.generation() % 2, 1u);
    }
    struct stat info{};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    FilterIntent reread(file);
    EXPECT_TRUE(reread.on());
    { FilterIntent::Change change(reread, false); }
    EXPECT_FALSE(FilterIntent(file).on());
}

}  // namespace
}  // namespace vesk::test
