// install.sh on a simulated host, and pair.sh, as the user runs it once the daemon is
// installed, against the real daemon on a simulated host with a fake backend.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/Daemon.hpp"

namespace vesk::test {
namespace {

using json = nlohmann::json;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    int status = -1;
    std::string output;  // standard output and error
};

// Runs the words (variables, then the script and its arguments; none holds a single quote)
// with the text on standard input. The environment holds them and PATH, with the test's
// own bin first: nothing of ours (VESK_PIN above all) leaks into it.
Outcome script(const TempDir& dir, const std::vector<std::string>& words, const std::string& input = "") {
    std::string line = "env -i 'PATH=" + dir.path() + "/bin:" + std::getenv("PATH") + "'", out = dir.path() + "/output";
    for (const auto& word : words) line += " '" + word + "'";
    int raw = std::system((line + " <'" + dir.write("stdin", input) + "' >'" + out + "' 2>&1").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, contents(out)};
}

Outcome pairSh(uint16_t port, const TempDir& dir, std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"VESK_CONTROL_PORT=" + std::to_string(port), VESK_SOURCE_DIR "/packaging/macos/pair.sh"});
    return script(dir, args, input);
}

TEST(PackagingTest, InstallShBuildsWithHomebrewsFormulaeAndKeepsThePinOnUpgrade) {
    TempDir host, dir;
    auto sim = HostSim::install(host.path());
    // A cmake first on the PATH notes how it is called; it fails while told to, which ends
    // the install there, and otherwise "builds" a binary.
    std::filesystem::create_directory(dir.path() + "/bin");
    std::string cmake = dir.write("bin/cmake", "#!/bin/sh\necho \"$@\" >\"$0.args\"\n[ -e \"$0.fail\" ] && exit 1\n"
                                               "[ \"$1\" != --build ] || { mkdir -p \"$2/vesk_dnsd\"; cp \"$0\" \"$2/vesk_dnsd/vesk-dnsd\"; }\n");
    std::string opt = host.path() + "/opt/homebrew/opt/", fail = dir.write("bin/cmake.fail", "");
    std::filesystem::permissions(cmake, std::filesystem::perms::owner_all);
    std::vector<std::string> install = {"VESK_HOST_ROOT=" + host.path(), "VESK_BUILD_DIR=" + dir.path() + "/build",
                                        VESK_SOURCE_DIR "/packaging/macos/install.sh", "--blocklist", dir.write("blocklist.txt", "")};

    auto clearText = install;
    clearText.insert(clearText.end(), {"--blocklist-urls", "https://a.example/l,http://lists.example/l"});
    EXPECT_EQ(script(dir, clearText).output,
              "install.sh: --blocklist-urls: http://lists.example/l is not https:// (or http:// to this machine)\n");
    std::filesystem::remove(opt + "icu4c");
    EXPECT_EQ(script(dir, install).output, "install.sh: the build needs icu4c from Homebrew: brew install icu4c\n");
    if (::geteuid() != 0) GTEST_SKIP() << "install.sh builds as root only";
    std::filesystem::create_directory(opt + "icu4c");
    EXPECT_EQ(script(dir, install).status, 1);
    std::string args = contents(cmake + ".args");
    EXPECT_TRUE(args.ends_with(" -DOPENSSL_ROOT_DIR=" + opt + "openssl@3 -DCMAKE_PREFIX_PATH=" + opt + "asio;" + opt +
                               "fmt;" + opt + "icu4c;" + opt + "nlohmann-json;" + opt + "openssl@3\n")) << args;

    // An earlier version's state, where the user may own /usr/local: the upgrade moves it
    // to where only root can write, and the PIN stays what it was.
    std::filesystem::remove(fail);
    std::filesystem::create_directories(sim.path("/usr/local/etc/vesk"));
    const std::vector<std::string> kept = {"pin.hash", "auth.token", "filter.intended"};
    for (const auto& name : kept) std::ofstream(sim.path("/usr/local/etc/vesk/") + name) << name;
    auto upgraded = script(dir, install);
    EXPECT_EQ(upgraded.status, 0) << upgraded.output;
    for (const auto& name : kept) EXPECT_EQ(contents(sim.path("/var/db/vesk/") + name), name);
    EXPECT_EQ(std::filesystem::status(sim.path("/var/db/vesk/pin.hash")).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status(sim.path("/var/db/vesk")).permissions(), std::filesystem::perms(0700));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.path("/usr/local/etc/vesk"))));
    std::string job = contents(sim.path("/Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist"));
    EXPECT_NE(job.find("<string>--pin-file</string>\n\t\t<string>/var/db/vesk/pin.hash</string>"), std::string::npos) << job;
    // With no lists named, the two public ones; they are fetched by the daemon, not now.
    EXPECT_NE(job.find("<string>--blocklist-urls</string>\n\t\t<string>https://raw.githubusercontent.com/Sinfonietta/"
                       "hostfiles/HEAD/pornography-hosts,https://raw.githubusercontent.com/ShadowWhisperer/BlockLists/"
                       "HEAD/RAW/Adult</string>"),
              std::string::npos);
}

TEST(PackagingTest, PairShHandsTheTokenToTheDaemon) {
    FakeUpstream upstream(FakeUpstream::silent());
    HttpServer backend(rotatingBackend());
    TempDir dir, host;
    // The token where its directory can be trusted, as install.sh places it.
    std::string tokenFile = HostSim::install(host.path()).path("/var/db/vesk/auth.token");
    auto daemon = Daemon::serve(dir.write("blocklist.txt", "blocked.example\n"), {&upstream},
                                {"--supabase-url", backend.url("/"), "--anon-key", "anon", "--alerts-token-file", tokenFile},
                                {}, host.path());
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
