#include "tests/support/HostSim.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/FakeUpstream.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using Args = std::vector<std::string>;

struct Ran {
    int status;  // -1: did not exit
    std::string out, err;
};

std::string contentOf(const std::string& file) {
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

// What dscacheutil -q host prints for one address.
std::string found(const std::string& name, const std::string& address) {
    return "name: " + name + (address.find(':') == std::string::npos ? "\nip_address: " : "\nipv6_address: ") +
           address + "\n\n";
}

// Runs the simulator's tools as the daemon does: by their local path, with that as argv[0].
class HostSimTest : public ::testing::Test {
protected:
    struct Started {
        pid_t pid;
        std::string out, err;
    };

    // argv0 defaults to the tool's local path; env is the tool's whole environment.
    Started start(const std::string& tool, const Args& args, std::string argv0 = {},
                  std::vector<std::string> env = {}) {
        Args words = {argv0.empty() ? host.path(tool) : argv0};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& word : words) argv.push_back(word.data());
        for (auto& entry : env) envp.push_back(entry.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        Started started{0, dir.path() + "/out" + std::to_string(runs), dir.path() + "/err" + std::to_string(runs)};
        ++runs;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, started.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, started.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int failed = ::posix_spawn(&started.pid, host.path(tool).c_str(), &actions, nullptr,
                                   argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) throw std::runtime_error("cannot start " + tool);
        return started;
    }
    static Ran finish(const Started& started) {
        int status = 0;
        ::waitpid(started.pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, contentOf(started.out),
                contentOf(started.err)};
    }
    Ran run(const std::string& tool, const Args& args) { return finish(start(tool, args)); }
    // The host's own lookup; port, when given, is where 127.0.0.1's DNS server listens.
    Ran lookUp(const std::string& name, std::optional<uint16_t> port = std::nullopt) {
        Args env;
        if (port) env.push_back("VESK_HOSTSIM_DNS_PORT=" + std::to_string(*port));
        return finish(start("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", name}, {}, env));
    }

    TempDir dir;
    HostSim host = HostSim::install(dir.path() + "/root");
    const std::string agent = "gui/" + std::to_string(host.consoleUid()) + "/com.apple.networkserviceproxy";
    int runs = 0;
};

TEST_F(HostSimTest, InstallLaysOutTheConsoleUserAndResetsState) {
    uid_t user = ::geteuid() == 0 ? 501 : ::geteuid();
    EXPECT_EQ(host.consoleUid(), user);
    std::string entry = "\nuser1:*:";
    entry += std::to_string(user) + ":20:User One:/Users/user1:/bin/zsh\n";
    EXPECT_NE(contentOf(host.path("/etc/passwd")).find(entry), std::string::npos);
    EXPECT_EQ(host.launchdJobs(), (Args{agent, "system/app.quorran.tarnik.dnsd"}));

    std::filesystem::remove_all(host.path("/Users/user1/Library/Caches/Firefox"));
    std::filesystem::remove_all(host.path("/var/db/vesk"));
    run("/usr/bin/open", {"-a", "Safari"});
    host.setSafariRelay("1");
    host.setEncryptedResolver(true);
    host.writeResolverFile("test", {"nameserver 127.0.0.1"});
    host.setHostsFile({});
    HostSim::install(host.root());
    EXPECT_FALSE(host.exists("/hostsim/encrypted-dns"));
    EXPECT_TRUE(host.exists("/etc/resolver"));
    EXPECT_FALSE(host.exists("/etc/resolver/test"));
    EXPECT_NE(contentOf(host.path("/etc/hosts")).find("\n127.0.0.1\tlocalhost\n"), std::string::npos);
    EXPECT_TRUE(host.exists("/Users/user1/Library/Caches/Firefox/cache.db"));
    EXPECT_TRUE(host.exists("/var/db/vesk"));
    EXPECT_EQ(host.processes(), (Args{"mDNSResponder", "Finder"}));
    EXPECT_EQ(run("/usr/bin/defaults", {"read", "com.apple.Safari",
                                        "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"}).status, 1);
    EXPECT_EQ(host.calls(), Args{"defaults read com.apple.Safari WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"});
}

TEST_F(HostSimTest, LogsEachCallShellQuotedAndKeepsNotifications) {
    run("/usr/bin/osascript", {"-e", "display notification \"it's on\"", "-e", "beep"});
    run("/usr/bin/killall", {"-HUP", "mDNSResponder"});
    run("/usr/sbin/networksetup", {"-setdnsservers", "Wi-Fi", ""});
    EXPECT_EQ(host.calls(), (Args{R"(osascript -e 'display notification "it'\''s on"' -e beep)",
                                  "killall -HUP mDNSResponder", "networksetup -setdnsservers Wi-Fi ''"}));
    EXPECT_EQ(host.notifications(), (Args{"display notification \"it's on\"", "beep"}));
    host.clearCalls();
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(HostSimTest, ToolsFindTheHostByTheirPathElseByTheEnvironment) {
    const std::string root = "VESK_HOST_ROOT=" + host.root();
    EXPECT_EQ(finish(start("/usr/bin/dscacheutil", {"-flushcache"}, "dscacheutil", {root})).status, 0);
    EXPECT_EQ(finish(start("/usr/bin/dscacheutil", {"-flushcache"}, "dscacheutil")).status, 70);
    EXPECT_EQ(host.calls(), Args{"dscacheutil -flushcache"});
}

TEST_F(HostSimTest, LooksUpThroughResolverFilesThenHostsThenTheService) {
    // The first label of a query says how it is answered: "nx" NXDOMAIN, "cut" and "bare" cut short.
    FakeUpstream upstream([](const Bytes& query, bool) {
        Bytes reply = FakeUpstream::addressAnswer(query, 1);
        std::string label(query.begin() + 13, query.begin() + 13 + query.at(12));
        if (label == "nx") reply[3] |= 3;
        if (label == "cut") reply.resize(reply.size() - 2);
        if (label == "bare") reply.resize(14);
        return Reply{reply};
    });
    // 8.8.8.8 is never reached: a name asked of it prints nothing.
    host.setServices({{"Wi-Fi", true, {"127.0.0.1"}}});
    host.writeResolverFile("example.com", {"nameserver 8.8.8.8"});
    host.writeResolverFile("sub", {"# the more specific, though listed after", "domain A.example.com.",
                                   "nameserver 127.0.0.1 # ours", "port " + std::to_string(upstream.port())});
    host.setHostsFile({"192.0.2.77 Printer.local printer  # office", "", "2001:db8::7 printer.local"});
    struct Case {
        std::string name, out;
    } cases[] = {
        {"www.a.example.com", found("www.a.example.com", "192.0.2.1")},  // by the domain line
        {"A.Example.COM.", found("A.Example.COM.", "192.0.2.1")},
        {"www.example.com", ""},                                         // the file, not the service
        {"notexample.com", found("notexample.com", "192.0.2.1")},        // no file: the service
        {"sub", found("sub", "192.0.2.1")},                              // nor by the file's name
        {"printer", found("printer", "192.0.2.77")},
        {"PRINTER.local", found("PRINTER.local", "192.0.2.77") + found("PRINTER.local", "2001:db8::7")},
        {"nx.test", ""},
        {"cut.test", ""},
        {"bare.test", ""},
    };
    for (const auto& each : cases) {
        Ran ran = lookUp(each.name, upstream.port());
        EXPECT_EQ(ran.status, 0) << each.name << ": " << ran.err;
        EXPECT_EQ(ran.out, each.out) << each.name << ": " << ran.err;
    }
    // Without the test's port, the resolver file's own.
    EXPECT_EQ(lookUp("a.example.com").out, found("a.example.com", "192.0.2.1"));
    auto queries = upstream.queries();
    EXPECT_EQ(queries.size(), 8u);
    for (const auto& query : queries) {
        EXPECT_EQ(query.at(2) & 0x01, 1) << "recursion desired";
        EXPECT_EQ(Bytes(query.end() - 4, query.end()), (Bytes{0, 1, 0, 1})) << "type A, class IN";
    }
}

TEST_F(HostSimTest, NonLoopbackServersAndTheEncryptedSwitchSendNothing) {
    FakeUpstream upstream(FakeUpstream::address(1));
    host.setServices({{"Wi-Fi", true, {"8.8.8.8", "127.0.0.1"}}});
    Ran ran = lookUp("x.test", upstream.port());
    EXPECT_EQ(ran.out, "");
    EXPECT_NE(ran.err.find("8.8.8.8 is not reached"), std::string::npos) << ran.err;

    host.setServices({{"Bluetooth PAN", false, {"8.8.8.8"}}, {"Wi-Fi", true, {"127.0.0.1"}}});
    host.writeResolverFile("test", {"nameserver 127.0.0.1"});
    host.setEncryptedResolver(true);
    for (const char* name : {"x.test", "localhost", "x.other"}) {
        ran = lookUp(name, upstream.port());
        EXPECT_EQ(ran.status, 0) << name;
        EXPECT_EQ(ran.out, "") << name;
    }
    EXPECT_TRUE(upstream.queries().empty());
    host.setEncryptedResolver(false);
    EXPECT_EQ(lookUp("x.other", upstream.port()).out, found("x.other", "192.0.2.1"));
    EXPECT_EQ(lookUp("localhost").out, found("localhost", "127.0.0.1") + found("localhost", "::1"));
    EXPECT_EQ(upstream.queries().size(), 1u);
    EXPECT_EQ(run("/usr/bin/dscacheutil", {"-q", "host", "-a", "name"}).status, 64);
}

TEST_F(HostSimTest, ConcurrentCallsLoseNoUpdateAndNoLogLine) {
    std::vector<Started> started;
    for (int i = 0; i < 8; ++i) started.push_back(start("/usr/bin/open", {"-a", "App" + std::to_string(i)}));
    for (const auto& each : started) EXPECT_EQ(finish(each).status, 0);
    auto processes = host.processes();
    auto calls = host.calls();
    EXPECT_EQ(processes.size(), 10u);
    ASSERT_EQ(calls.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        std::string app = "App" + std::to_string(i);
        EXPECT_EQ(std::count(processes.begin(), processes.end(), app), 1) << app;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "open -a " + app), 1) << app;
    }
}

}  // namespace
}  // namespace vesk::test
