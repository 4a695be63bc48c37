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
    std::filesystem::remove_all(host.path("/usr/local/share/vesk"));
    run("/usr/bin/open", {"-a", "Safari"});
    host.setSafariRelay("1");
    HostSim::install(host.root());
    EXPECT_TRUE(host.exists("/Users/user1/Library/Caches/Firefox/cache.db"));
    EXPECT_TRUE(host.exists("/usr/local/share/vesk/adult-domains.txt"));
    EXPECT_EQ(host.processes(), (Args{"mDNSResponder", "Finder"}));
    EXPECT_EQ(run("/usr/bin/defaults", {"read", "com.apple.Safari",
                                        "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"}).status, 1);
    EXPECT_EQ(host.calls(), Args{"defaults read com.apple.Safari WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"});
}

TEST_F(HostSimTest, GetsAndSetsDnsServers) {
    const std::string none = "There aren't any DNS Servers set on Wi-Fi.\n";
    const std::string unknown = "Nope is not a recognized network service.\n"
                                "** Error: The parameters were not valid.\n";
    struct Step {
        Args args;
        int status;
        std::string out;
    } steps[] = {
        {{"-getdnsservers", "Wi-Fi"}, 0, none},
        {{"-setdnsservers", "Wi-Fi", "127.0.0.1", "::1"}, 0, ""},
        {{"-getdnsservers", "Wi-Fi"}, 0, "127.0.0.1\n::1\n"},
        {{"-setdnsservers", "Thunderbolt Bridge", "9.9.9.9"}, 0, ""},
        {{"-setdnsservers", "Wi-Fi", "Empty"}, 0, ""},
        {{"-getdnsservers", "Wi-Fi"}, 0, none},
        {{"-getdnsservers", "Nope"}, 4, unknown},
        {{"-setdnsservers", "Nope", "1.1.1.1"}, 4, unknown},
        {{"-setdnsservers", "Wi-Fi"}, 64, ""},
    };
    for (const auto& step : steps) {
        Ran ran = run("/usr/sbin/networksetup", step.args);
        EXPECT_EQ(ran.status, step.status) << step.args[0] << " " << step.args[1];
        EXPECT_EQ(ran.out, step.out) << step.args[0] << " " << step.args[1];
    }
    EXPECT_EQ(host.services(), (std::vector<HostSim::Service>{{"Wi-Fi", true, {}},
                                                               {"Bluetooth PAN", false, {}},
                                                               {"Thunderbolt Bridge", true, {"9.9.9.9"}}}));
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
