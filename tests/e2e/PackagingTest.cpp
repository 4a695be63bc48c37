// pair.sh, as the user runs it once the daemon is installed, against the real daemon on a
// simulated host with a fake backend.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/e2e/Backend.hpp"
#include "tests/e2e/Daemon.hpp"
#include "tests/support/ControlClient.hpp"
#include "tests/support/HttpServer.hpp"

namespace vesk::test {
namespace {

using json = nlohmann::json;

std::string contents(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

struct Outcome {
    int status = -1;
    std::string output;  // standard output and error
};

// Runs pair.sh with the arguments and, on its standard input, the text; nothing of ours
// (VESK_PIN above all) leaks into its environment but the control port.
Outcome pairSh(uint16_t port, const TempDir& dir, std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), VESK_SOURCE_DIR "/packaging/macos/pair.sh");
    std::vector<std::string> env = {"VESK_CONTROL_PORT=" + std::to_string(port)};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("VESK_")) env.emplace_back(*entry);
    }
    std::vector<char*> argv, envp;
    for (auto& arg : args) argv.push_back(arg.data());
    for (auto& entry : env) envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::string in = dir.write("stdin", input), out = dir.path() + "/output";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int raw = 0;
    int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0 || ::waitpid(pid, &raw, 0) != pid) return {-1, "cannot run pair.sh"};
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, contents(out)};
}

TEST(PackagingTest, PairShHandsTheTokenToTheDaemon) {
    FakeUpstream upstream(FakeUpstream::silent());
    HttpServer backend(rotatingBackend());
    TempDir host, dir;
    HostSim::install(host.path());
    std::string tokenFile = dir.path() + "/etc/auth.token";
    auto daemon = Daemon::serve(dir.write("blocklist.txt", "blocked.example\n"), {&upstream},
                                {"--supabase-url", backend.url("/"), "--anon-key", "anon", "--alerts-token-file", tokenFile},
                                {}, host.path());
    ASSERT_TRUE(daemon->waitForLine([](std::string_view line) { return line.starts_with("vesk-dnsd: control API on"); }));
    uint16_t port = daemon->controlPort();
    // The token as the daemon got it: the one it spent to learn the account.
    auto spent = [&] { return json::parse(backend.requests().back().body).value("refresh_token", ""); };

    auto argument = pairSh(port, dir, {"alice-1"});
    EXPECT_EQ(argument.status, 0) << argument.output;
    EXPECT_EQ(argument.output, "{\"ok\":true}\n");
    EXPECT_EQ(spent(), "alice-1");
    EXPECT_EQ(contents(tokenFile + ".email"), "alice@example.com");

    // Typed or pasted: the white space around it goes, what JSON must escape arrives intact.
    auto typed = pairSh(port, dir, {}, " \t alice-2\"q\\b\tc  \r\n");
    EXPECT_EQ(typed.status, 0) << typed.output;
    EXPECT_EQ(spent(), "alice-2\"q\\b\tc");
    std::string kept = contents(tokenFile);

    // Nothing but white space is no token: refused before the daemon could store it.
    EXPECT_NE(pairSh(port, dir, {""}).status, 0);
    EXPECT_NE(pairSh(port, dir, {"-"}, "  \t\n").status, 0);
    EXPECT_EQ(contents(tokenFile), kept);

    // Another account, once a PIN guards the device: only with the PIN.
    ASSERT_EQ(controlCall(port, "POST", "/pin", {{"pin", "2468"}}).status, 200);
    auto withoutPin = pairSh(port, dir, {"bob-1"});
    EXPECT_EQ(withoutPin.status, 1);
    EXPECT_NE(withoutPin.output.find("--pin"), std::string::npos) << withoutPin.output;
    EXPECT_EQ(contents(tokenFile), kept);
    auto withPin = pairSh(port, dir, {"--pin", "2468", "bob-2"});
    EXPECT_EQ(withPin.status, 0) << withPin.output;
    EXPECT_EQ(contents(tokenFile + ".email"), "bob@example.com");
}

}  // namespace
}  // namespace vesk::test
