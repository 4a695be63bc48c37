#include "VeskHost/TamperWatch.hpp"

#include <fcntl.h>
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
using Reports = std::vector<std::pair<std::string, std::string>>;

// A host under a temporary root: networksetup answers from services, the files are real,
// and the canary lookup reaches the filter unless told otherwise.
class TamperWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() + "/etc/resolver");
        tools.script([this](const std::string& line) {
            return networksetup(services, line).value_or(ToolRunner::Result{0, ""});
        });
    }
    // Turned off and on again, then a look: what it finds is new.
    Reports lookAnew() {
        controller.disable();
        watch.check();
        controller.enable();
        reports.clear();
        watch.check();
        return reports;
    }

    TempDir dir;
    HostRoot host{dir.path()};
    FakeToolRunner tools;
    std::map<std::string, std::string> services{{"Wi-Fi", ""}, {"Ethernet", ""}};
    ManualQueue queue, filterQueue;
    QueueClock clock{queue};
    SystemDNS systemDNS{tools};
    Uninstaller uninstaller{systemDNS, tools, host, filterQueue, [] {}};
    FilterController controller{{systemDNS, uninstaller, dir.path() + "/etc/vesk", clock}, filterQueue};
    LiveBlocklist blocklist{std::make_shared<Blocklist>(std::vector<std::string>{"adult.example", "a.b.deep.net"})};
    bool canaryReaches = true, online = true;
    uint64_t randomValue = 35003;  // looks 10 s apart, each reading settings, files, canary in turn
    SystemLookup::Result lookupResult;
    std::function<void()> duringLookup;
    Reports reports;
    TamperWatch watch{{controller, blocklist, host, [] { return std::string("0123456789abcdef.net"); },
                       [this](const std::string&) {
                           if (duringLookup) duringLookup();
                           return lookupResult;
                       },
                       [this](vesk::Clock::Monotonic::time_point) { return canaryReaches; }, [this] { return online; },
                       [this](const std::string& via, const std::string& what) { reports.emplace_back(via, what); },
                       clock, [this] { return randomValue; }},
                      queue};
};

// Each look reads its sources in an order the random source draws.
TEST_F(TamperWatchTest, EachLookReadsItsSourcesInARandomOrder) {
    controller.enable();
    std::vector<bool> settingsFirst;
    duringLookup = [&] { settingsFirst.push_back(!tools.calls().empty()); };
    for (uint64_t value : {0u, 1u}) {
        randomValue = value;
        tools.clear();
        watch.check();
    }
    EXPECT_EQ(settingsFirst, (std::vector<bool>{false, true}));
}

// The gaps are counted from when each look was due: a slow look does not push the others
// later (10 s gaps, 3 s looks: at 10, 17, 24 … 59 s of the queue's time).
TEST_F(TamperWatchTest, ASlowLookDoesNotDelayTheNext) {
    controller.enable();
    int looks = 0;
    duringLookup = [&] {
        ++looks;
        clock.sleepFor(3s);
    };
    watch.start();
    queue.advance(60s);
    EXPECT_EQ(looks, 8);
}

// While filtering is off nothing is read. Turned off and on while a look runs, what the look
// saw is stale: the enable is never itself a finding. Someone who keeps changing the settings
// back is told of once an hour; settings that stay put after one restore clear, and a later
// change is new.
TEST_F(TamperWatchTest, SettingsArePutBackAndToldOncePerHourWhileTheyPersist) {
    services["Wi-Fi"] = "8.8.8.8\n";
    watch.check();
    EXPECT_TRUE(tools.calls().empty());
    controller.enable();
    services["Wi-Fi"] = "8.8.8.8\n";
    duringLookup = [this] {
        controller.disable();
        controller.enable();
    };
    watch.check();
    EXPECT_TRUE(reports.empty());
    // Changed again after each restore, before the next look.
    duringLookup = [this] {
        services["Wi-Fi"] = "8.8.8.8\n1.1.1.1\n";
        services["Ethernet"] = "There aren't any DNS Servers set on Ethernet.\n";
    };
    duringLookup();
    watch.check();
    EXPECT_EQ(controller.snapshot()->tamper, (TamperFindings{clock.wallNow(), {"dns_settings"}}));
    auto tick = [this] {
        queue.advance(10s);
        watch.check();
    };
    for (int i = 0; i < 359; ++i) tick();  // 59 min 50 s after the first report
    EXPECT_EQ(reports.size(), 1u);
    tick();
    EXPECT_EQ(reports.size(), 2u);
    duringLookup = nullptr;
    tick();  // put back for good this time: still a finding
    EXPECT_TRUE(controller.snapshot()->allPointed);
    tick();
    EXPECT_EQ(controller.snapshot()->tamper, TamperFindings{});
    services["Wi-Fi"] = "9.9.9.9\n";
    tick();
    EXPECT_EQ(reports, (Reports{{"dns_settings", "Ethernet, Wi-Fi"}, {"dns_settings", "Ethernet, Wi-Fi"},
                                {"dns_settings", "Wi-Fi"}}));
}

TEST_F(TamperWatchTest, ResolverFilesAreReportedOnlyForDomainsTheFilterCovers) {
    const struct {
        const char* file;
        const char* text;
        bool reported;
    } cases[] = {
        {"com", "nameserver 8.8.8.8\n", true},
        {"adult.example", "# sends it away\nnameserver 127.0.0.1\nnameserver 9.9.9.9\n", true},
        {"www.adult.example", "nameserver 9.9.9.9\n", true},  // under a listed name
        {"deep.net", "nameserver 9.9.9.9\n", true},           // a parent of a listed name
        {"internal", "domain Adult.Example.\nnameserver 10.0.0.1\n", true},
        {"corp.example", "nameserver 10.0.0.1\n", false},
        {"org", "nameserver 127.0.0.1\n", false},             // this listener
        {"info", "nameserver 127.0.0.1\nport 5499\n", true},  // another one on this machine
        {".hidden", "domain com\nnameserver 8.8.8.8\n", true},
        {"net", "search example\n", false},
        {"eep.net", "nameserver 9.9.9.9\n", false},
    };
    for (const auto& c : cases) {
        std::string file = dir.write(std::string("etc/resolver/") + c.file, c.text);
        EXPECT_EQ(lookAnew(), (c.reported ? Reports{{"resolver_file", file.substr(dir.path().size())}} : Reports{}))
            << c.file;
        std::filesystem::remove(file);
    }
    // Too large to read whole, and more files than are read, are findings of their own.
    std::string large = dir.write("etc/resolver/net", std::string(1024 * 1024, '#') + "\nnameserver 8.8.8.8\n");
    EXPECT_EQ(lookAnew(), (Reports{{"resolver_file", "/etc/resolver/net (too large)"}}));
    std::filesystem::remove(large);
    for (int i = 0; i < 4097; ++i) dir.write("etc/resolver/corp" + std::to_string(i) + ".example", "search corp\n");
    EXPECT_EQ(lookAnew(), (Reports{{"resolver_file", "/etc/resolver (more than 4096 files)"}}));
}

// A file judged harmless is judged again once the list changes, without being touched.
TEST_F(TamperWatchTest, FilesAreJudgedAgainByANewList) {
    dir.write("etc/resolver/corp.example", "nameserver 10.0.0.1\n");
    dir.write("etc/hosts", "203.0.113.9 x.corp.example\n");
    EXPECT_EQ(lookAnew(), Reports{});
    blocklist.publish(std::make_shared<Blocklist>(std::vector<std::string>{"x.corp.example"}));
    watch.check();
    EXPECT_EQ(reports, (Reports{{"resolver_file", "/etc/resolver/corp.example"}, {"hosts_file", "x.corp.example"}}));
}

TEST_F(TamperWatchTest, HostsLinesAreReportedWhenTheyGiveARefusedNameAnAddress) {
    std::string hosts = dir.write("etc/hosts",
                                  "127.0.0.1 localhost\n"
                                  "203.0.113.5 www.adult.example other.test  # for later\n"
                                  "0.0.0.0 adult.example\n"  // blocking, not giving away
                                  "::1 x.adult.example\n"
                                  "203.0.113.6 apple.com push.apple.com\n"  // never blocked
                                  "203.0.113.7 dns.google\n"
                                  "# 203.0.113.8 a.b.deep.net\n"
                                  "2001:db8::1\tA.B.DEEP.NET.\n");
    const Reports found{{"hosts_file", "www.adult.example, dns.google, a.b.deep.net"}};
    EXPECT_EQ(lookAnew(), found);
    EXPECT_EQ(lookAnew(), found);  // read again once filtering is back

    // Read whole, past one long line, and read again when edited in place with its size
    // and modification time put back. Past the bounds of what is read, the size is itself
    // a finding.
    struct stat before{};
    std::string large(17 << 20, '#');
    dir.write("etc/hosts", large + "\n203.0.113.5 www.adulx.example\n");
    lookAnew();
    ASSERT_EQ(::stat(hosts.c_str(), &before), 0);
    dir.write("etc/hosts", large + "\n203.0.113.5 www.adult.example\n");
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, hosts.c_str(), times, 0), 0);
    watch.check();
    EXPECT_EQ(reports, (Reports{{"hosts_file", "www.adult.example"}}));
    ASSERT_EQ(::truncate(hosts.c_str(), 65 * 1024 * 1024), 0);
    EXPECT_EQ(lookAnew(), (Reports{{"hosts_file", "/etc/hosts (too large)"}}));
}

// Two looks each, with the settings untouched: a canary that fails on is a finding. With no
// network nothing is sent, the canary included: that is no finding, and one already open
// stays as it is.
TEST_F(TamperWatchTest, TheCanaryMustReachTheFilterAndGetNoAddress) {
    const struct {
        const char* name;
        bool reaches;
        SystemLookup::Result result;
        std::optional<std::string> what;
        bool online = true;
    } cases[] = {
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
        EXPECT_TRUE(lookAnew().empty());
        watch.check();
        EXPECT_EQ(reports, (c.what ? Reports{{"canary", *c.what}} : Reports{}));
    }
    online = true;
    lookupResult = {{"192.0.2.1"}, {}};
    watch.check();
    watch.check();
    online = false;
    watch.check();
    EXPECT_EQ(controller.snapshot()->tamper.via, std::vector<std::string>{"canary"});
    EXPECT_EQ(reports, (Reports{{"canary", "answered 192.0.2.1"}}));
}

}  // namespace
}  // namespace vesk::test
