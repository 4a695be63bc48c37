#include "VeskHost/TamperWatch.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
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

// A host under a temporary root: networksetup answers from services (a set changes them
// unless sticky, as when the system refuses), the files are real, and the canary lookup
// reaches the filter unless told otherwise.
class TamperWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() + "/etc/resolver");
        tools.script([this](const std::string& line) {
            return networksetup(services, line, sticky).value_or(ToolRunner::Result{0, ""});
        });
        restart();
    }
    // A new controller and watch on what the old ones left on disk; the old watch must not
    // have been started.
    void restart() {
        watch.reset();
        controller = std::make_unique<FilterController>(
            FilterController::Parts{systemDNS, uninstaller, dir.path() + "/etc/vesk", clock}, filterQueue);
        controller->checkAtStartup();
        watch = std::make_unique<TamperWatch>(
            TamperWatch::Parts{*controller, blocklist, host,
                               [this] {
                                   armed = true;
                                   came = false;
                                   return std::string("0123456789abcdef.net");
                               },
                               [this](const std::string&) {
                                   if (duringLookup) duringLookup();
                                   came = armed && canaryReaches;
                                   return lookupResult;
                               },
                               [this](Clock::Monotonic::time_point) { return came; },
                               [this] { return online; },
                               [this](const std::string& via, const std::string& what) { reports.emplace_back(via, what); },
                               clock, [this] { return randomValue; }},
            queue);
    }
    // Runs the ticks due over the next interval.
    void tick(std::chrono::seconds after = 10s) {
        tools.clear();
        queue.advance(after);
    }
    // Turned off and on again: the next finding is new.
    void anew() {
        controller->disable();
        watch->check();
        controller->enable();
        reports.clear();
    }
    TamperFindings findings() const { return controller->snapshot()->tamper; }

    TempDir dir;
    HostRoot host{dir.path()};
    FakeToolRunner tools;
    std::map<std::string, std::string> services{{"Wi-Fi", ""}, {"Ethernet", ""}};
    bool sticky = false;
    ManualQueue queue, filterQueue;
    QueueClock clock{queue};
    SystemDNS systemDNS{tools};
    Uninstaller uninstaller{systemDNS, tools, host, filterQueue, [] {}};
    Blocklist blocklist{std::vector<std::string>{"adult.example", "a.b.deep.net"}};
    bool canaryReaches = true, online = true;
    uint64_t randomValue = 35003;  // ticks 10 s apart, each reading settings, files, canary in turn
    SystemLookup::Result lookupResult;
    std::function<void()> duringLookup;
    bool armed = false, came = false;
    Reports reports;
    std::unique_ptr<FilterController> controller;
    std::unique_ptr<TamperWatch> watch;
};

TEST_F(TamperWatchTest, OffIsSilentAndACleanHostCostsOnlyTheReads) {
    services["Wi-Fi"] = "8.8.8.8\n";
    dir.write("etc/resolver/com", "nameserver 8.8.8.8\n");
    watch->start();
    tick(9s);
    tick(20s);
    EXPECT_TRUE(tools.calls().empty());
    EXPECT_FALSE(armed);

    std::filesystem::remove(dir.path() + "/etc/resolver/com");
    controller->enable();
    tick();
    EXPECT_THAT(tools.calls(), ElementsAre("/usr/sbin/networksetup -listnetworkserviceorder",
                                           "/usr/sbin/networksetup -getdnsservers Ethernet",
                                           "/usr/sbin/networksetup -getdnsservers Wi-Fi"));
    EXPECT_TRUE(armed);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(findings(), TamperFindings{});
}

// The looks come at gaps the random source draws, 5 s at its least, and each reads its
// sources in an order it draws too.
TEST_F(TamperWatchTest, LooksComeAtRandomGapsInARandomOrder) {
    controller->enable();
    bool settingsFirst = false;
    duringLookup = [&] { settingsFirst = !tools.calls().empty(); };
    randomValue = 0;
    watch->start();
    queue.advance(4999ms);
    EXPECT_FALSE(armed);
    tools.clear();
    queue.advance(1ms);
    EXPECT_TRUE(armed);
    EXPECT_FALSE(settingsFirst);
    randomValue = 1;
    tools.clear();
    queue.advance(5s);
    EXPECT_TRUE(settingsFirst);
}

// Someone who keeps changing them back is told of once an hour; settings that stay put
// after one restore clear, and a later change is new.
TEST_F(TamperWatchTest, SettingsArePutBackAndToldOncePerHourWhileTheyPersist) {
    controller->enable();
    watch->start();
    // Changed again after each restore, before the next look.
    duringLookup = [this] {
        services["Wi-Fi"] = "8.8.8.8\n1.1.1.1\n";
        services["Ethernet"] = "There aren't any DNS Servers set on Ethernet.\n";
    };
    duringLookup();
    tick();
    auto calls = tools.calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 3, calls.begin() + 6),
              (std::vector<std::string>{"/usr/sbin/networksetup -setdnsservers Ethernet 127.0.0.1",
                                        "/usr/sbin/networksetup -setdnsservers Wi-Fi 127.0.0.1", "/usr/bin/dscacheutil -flushcache"}));
    EXPECT_EQ(reports, (Reports{{"dns_settings", "Ethernet, Wi-Fi"}}));
    EXPECT_EQ(findings(), (TamperFindings{clock.wallNow(), {"dns_settings"}}));

    for (int i = 0; i < 359; ++i) tick();  // 59 min 50 s after the first report
    EXPECT_EQ(reports.size(), 1u);
    tick();
    EXPECT_EQ(reports.size(), 2u);

    duringLookup = nullptr;
    tick();  // put back for good this time: still a finding
    EXPECT_TRUE(controller->snapshot()->allPointed);
    tick();
    EXPECT_EQ(findings(), TamperFindings{});
    services["Wi-Fi"] = "9.9.9.9\n";
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "Ethernet, Wi-Fi"}, {"dns_settings", "Ethernet, Wi-Fi"},
                                {"dns_settings", "Wi-Fi"}}));
}

// One act, one event: a service that first appears using the network's resolvers is put
// right silently, also after a restart; one the user changed is told once, and the canary
// it made fail around it belongs to that finding.
TEST_F(TamperWatchTest, NewServicesAreQuietAndAChangeIsToldOnce) {
    controller->enable();
    // While the daemon is down, Wi-Fi is cleared by hand and two services appear: still new
    // when it is back, but one has servers of its own.
    services["Wi-Fi"] = "";
    services["Thunderbolt Bridge"] = "";
    services["VPN"] = "10.0.0.1\n";
    restart();
    watch->start();
    tick();
    EXPECT_EQ(services["Thunderbolt Bridge"], "127.0.0.1\n");
    tick();
    // Changed by hand while a tick's canary is under way: that canary fails, the next tick
    // sees the settings and puts them back, and the canary fails twice more after.
    duringLookup = [this] {
        services["Wi-Fi"] = "8.8.8.8\n";
        canaryReaches = false;
    };
    tick();
    duringLookup = nullptr;
    for (int i = 0; i < 3; ++i) tick();
    canaryReaches = true;
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "VPN, Wi-Fi"}, {"dns_settings", "Wi-Fi"}}));
    // Failing on with nothing to explain it, the canary is a finding of its own.
    canaryReaches = false;
    tick();
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "VPN, Wi-Fi"}, {"dns_settings", "Wi-Fi"}, {"canary", "no address"}}));
}

// Settings the system will not change (some VPNs) are no one's doing: told once, as
// refused, and no finding; told again only once they change.
TEST_F(TamperWatchTest, ARefusedServiceIsToldOnceWhileItStaysTheSame) {
    controller->enable();
    services["VPN"] = "10.8.0.1\n";
    sticky = true;
    watch->start();
    for (int i = 0; i < 400; ++i) tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "VPN (refused)"}}));
    EXPECT_EQ(findings(), TamperFindings{});
    services["VPN"] = "10.8.0.2\n";
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "VPN (refused)"}, {"dns_settings", "VPN (refused)"}}));
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
        {"org", "nameserver 127.0.0.1\n", false},             // this listener
        {"info", "nameserver 127.0.0.1\nport 5499\n", true},  // another one on this machine
        {".hidden", "domain com\nnameserver 8.8.8.8\n", true},
        {"net", "search example\n", false},
        {"eep.net", "nameserver 9.9.9.9\n", false},
        {"apple.com", "nameserver 9.9.9.9\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::filesystem::remove_all(dir.path() + "/etc/resolver");
        std::filesystem::create_directories(dir.path() + "/etc/resolver");
        dir.write(std::string("etc/resolver/") + c.file, c.text);
        anew();
        watch->check();
        Reports expected;
        if (c.reported) expected.emplace_back("resolver_file", std::string("/etc/resolver/") + c.file);
        EXPECT_EQ(reports, expected);
    }
    // Too large to read whole, and more files than are read, are findings of their own.
    std::filesystem::remove_all(dir.path() + "/etc/resolver");
    std::filesystem::create_directories(dir.path() + "/etc/resolver");
    dir.write("etc/resolver/net", std::string(1024 * 1024, '#') + "\nnameserver 8.8.8.8\n");
    anew();
    watch->check();
    EXPECT_EQ(reports, (Reports{{"resolver_file", "/etc/resolver/net (too large)"}}));
    std::filesystem::remove(dir.path() + "/etc/resolver/net");
    for (int i = 0; i < 4097; ++i) dir.write("etc/resolver/corp" + std::to_string(i) + ".example", "search corp\n");
    anew();
    watch->check();
    EXPECT_EQ(reports, (Reports{{"resolver_file", "/etc/resolver (more than 4096 files)"}}));
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
    controller->enable();
    watch->check();
    EXPECT_EQ(reports, (Reports{{"hosts_file", "www.adult.example, dns.google, a.b.deep.net"}}));

    // Read whole, past one long line, and read again when edited in place with its size
    // and modification time put back. Past the bounds of what is read, the size is itself
    // a finding.
    struct stat before{};
    std::string hosts = dir.path() + "/etc/hosts", large(17 << 20, '#');
    dir.write("etc/hosts", large + "\n203.0.113.5 www.adulx.example\n");
    anew();
    watch->check();
    ASSERT_EQ(::stat(hosts.c_str(), &before), 0);
    dir.write("etc/hosts", large + "\n203.0.113.5 www.adult.example\n");
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, hosts.c_str(), times, 0), 0);
    watch->check();
    EXPECT_EQ(reports, (Reports{{"hosts_file", "www.adult.example"}}));
    ASSERT_EQ(::truncate(hosts.c_str(), 65 * 1024 * 1024), 0);
    anew();
    watch->check();
    EXPECT_EQ(reports, (Reports{{"hosts_file", "/etc/hosts (too large)"}}));
}

// Two ticks running, with the settings untouched. With no network nothing is sent, the
// canary included: that is no finding, and one already open stays as it is.
TEST_F(TamperWatchTest, TheCanaryMustReachTheFilterAndGetNoAddress) {
    struct Case {
        const char* name;
        bool reaches;
        SystemLookup::Result result;
        std::optional<std::string> what;
        bool online = true;
    };
    const Case cases[] = {
        {"through the filter", true, {}, std::nullopt},
        {"answered elsewhere", false, {}, "no address"},
        {"an address from somewhere", true, {{"192.0.2.1"}, {}}, "answered 192.0.2.1"},
        {"the lookup failed", false, {{}, "timed out"}, "failed: timed out"},
        {"no network", false, {}, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        canaryReaches = c.reaches;
        online = c.online;
        lookupResult = c.result;
        anew();
        watch->check();
        EXPECT_TRUE(reports.empty());
        watch->check();
        Reports expected;
        if (c.what) expected.emplace_back("canary", *c.what);
        EXPECT_EQ(reports, expected);
    }
    online = true;
    lookupResult = {{"192.0.2.1"}, {}};
    watch->check();
    watch->check();
    online = false;
    watch->check();
    EXPECT_EQ(findings().via, std::vector<std::string>{"canary"});
    EXPECT_EQ(reports, (Reports{{"canary", "answered 192.0.2.1"}}));
}

// Filtering turned off and on while a tick looks makes what it saw stale: the enable is
// never itself a finding.
TEST_F(TamperWatchTest, ATickAcrossAChangeOfIntentTellsNothing) {
    controller->enable();
    services["Wi-Fi"] = "8.8.8.8\n";
    duringLookup = [this] {
        controller->disable();
        controller->enable();
    };
    watch->check();
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(findings(), TamperFindings{});
}

}  // namespace
}  // namespace vesk::test
