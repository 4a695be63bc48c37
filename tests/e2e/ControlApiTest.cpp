// The control API of the real daemon, called as the companion application calls it, on a
// simulated host and with a fake backend.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "tests/e2e/Backend.hpp"
#include "tests/e2e/Daemon.hpp"
#include "tests/support/DnsTestUtil.hpp"

namespace vesk::test {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

TEST(ControlApiTest, TheCompanionsWholeFlowAgainstTheRealDaemon) {
    FakeUpstream upstream(FakeUpstream::silent());
    HttpServer backend(rotatingBackend());
    TempDir host;
    auto sim = HostSim::install(host.path());
    sim.setProcesses({{"Safari"}, {"Finder"}});
    std::string tokenFile = host.path() + "/var/db/vesk/auth.token";
    auto daemon = Daemon::serve(host.path() + "/Library/Application Support/Vesk/adult-domains.txt", {&upstream},
                                {"--supabase-url", backend.url("/"), "--anon-key", "anon", "--alerts-token-file", tokenFile},
                                {}, host.path());
    EXPECT_EQ(daemon->lines("vesk-dnsd: alert")[0],
              "vesk-dnsd: alert reporting CONFIGURED -> " + backend.url("/") + " (paired: no — run pair.sh)");
    sim.setLaunchdJobs({{"system/app.quorran.tarnik.dnsd", daemon->processId()}});

    EXPECT_EQ(daemon->call("GET", "/status"),
              json({{"enabled", false}, {"pinSet", false}, {"paired", false}, {"safariPrivacyProxyActive", false},
                    {"tamper", {{"since", nullptr}, {"via", json::array()}}}}));
    EXPECT_EQ(daemon->call("POST", "/pair", {{"refreshToken", "alice-1"}}), json({{"ok", true}}));
    EXPECT_EQ(daemon->call("GET", "/pair-status"), json({{"paired", true}, {"email", "alice@example.com"}}));
    EXPECT_EQ(daemon->call("POST", "/pin", {{"pin", "2468"}}), json({{"ok", true}}));
    // Found off at startup: no relay tunnel to knock down.
    EXPECT_TRUE(std::ranges::none_of(sim.calls(), [](const auto& c) { return c.ends_with("networkserviceproxy"); }));

    EXPECT_EQ(daemon->call("POST", "/enable"), json({{"enabled", true}}));
    EXPECT_TRUE(waitUntil([&] { return std::ranges::count(sim.calls(), "open -a Safari") > 0; }, 20s))
        << "the browsers were not restarted";

    // The backend spends each refresh token once: the daemon must keep the one pairing
    // rotated to, or this alert would never leave.
    auto alerts = [&] {
        auto isAlert = [](const auto& request) { return request.target.starts_with("/functions/v1/"); };
        return std::ranges::count_if(backend.requests(), isAlert);
    };
    Socket client;
    client.send(daemon->port(), query(0x4001, "adult.example"));
    ASSERT_TRUE(client.receive(5s));
    // The block is noted off the DNS path, a moment after its answer.
    EXPECT_TRUE(waitUntil([&] { return daemon->call("GET", "/events")["events"].size() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return alerts() == 1; }, 10s));

    // Anyone in its group could put a PIN of their own in the state directory: nothing that
    // reads it answers, filtering stays on, and the partner hears of it with the access
    // token the daemon holds.
    uint16_t port = daemon->controlPort();
    fs::permissions(sim.path("/var/db"), fs::perms::group_write, fs::perm_options::add);
    for (const char* path : {"/pin", "/pair", "/disable", "/signout", "/uninstall"}) {
        auto answer = controlCall(port, "POST", path, {{"pin", "1111"}, {"refreshToken", "mallory-1"}});
        EXPECT_EQ(std::pair(answer.status, answer.body), std::pair(503, json({{"error", "insecure_state_dir"}}))) << path;
    }
    EXPECT_EQ(daemon->call("GET", "/status")["enabled"], true);
    const json bypassed = {{"p_event", "FILTER_BYPASSED"},
                           {"p_detail", {{"via", "state_dir"}, {"what", "/var/db is writable by its group"}}}};
    EXPECT_TRUE(waitUntil([&] { return monitoringEvents(backend) == std::vector<json>{bypassed}; }, 10s));
    EXPECT_TRUE(daemon->waitForLog("insecure state directory: /var/db is writable by its group — PIN, pairing "
                                   "and turning filtering off refused"));
    fs::permissions(sim.path("/var/db"), fs::perms::group_write, fs::perm_options::remove);

    EXPECT_EQ(daemon->call("POST", "/disable", {{"pin", "1357"}}), json({{"error", "wrong_pin"}, {"remaining", 4}}));
    EXPECT_EQ(daemon->call("POST", "/disable", {{"pin", "2468"}}), json({{"enabled", false}}));
    // The disable is told before the sign-out, whose own event goes before its answer (all
    // three checked with the last, below).
    EXPECT_TRUE(waitUntil([&] { return monitoringEvents(backend).size() == 2; }, 10s));
    EXPECT_EQ(daemon->call("POST", "/signout", {{"pin", "2468"}}), json({{"ok", true}}));
    EXPECT_EQ(monitoringEvents(backend).size(), 3u);
    EXPECT_FALSE(fs::exists(tokenFile));
    // Signed out, a block stays on this machine (counted once the daemon has gone, below).
    client.send(daemon->port(), query(0x4002, "adult.example"));
    ASSERT_TRUE(client.receive(5s));

    // Turned on and off at once, over and over: what the API says is what the host has.
    for (int round = 0; round < 8; ++round) {
        auto on = std::async(std::launch::async, [&] { return daemon->call("POST", "/enable"); });
        auto off = std::async(std::launch::async, [&] { return daemon->call("POST", "/disable", {{"pin", "2468"}}); });
        on.wait();
        off.wait();
        bool pointed = std::ranges::any_of(sim.services(), [](const auto& s) { return !s.servers.empty(); });
        EXPECT_EQ(daemon->call("GET", "/status")["enabled"], pointed) << "round " << round;
    }

    // Paired again and on: uninstalling tells the partner before the token goes with the files.
    EXPECT_EQ(daemon->call("POST", "/pair", {{"refreshToken", "alice-2"}}), json({{"ok", true}}));
    EXPECT_EQ(daemon->call("POST", "/enable"), json({{"enabled", true}}));
    EXPECT_EQ(daemon->call("POST", "/uninstall", {{"pin", "2468"}}), json({{"uninstalled", true}}));
    EXPECT_EQ(monitoringEvents(backend), (std::vector<json>{bypassed, json({{"p_event", "FILTER_DISABLED"}}), json({{"p_event", "SIGNED_OUT"}}),
                                                            json({{"p_event", "FILTER_DISABLED"}, {"p_detail", {{"via", "uninstall"}}}})}));
    EXPECT_EQ(daemon->waitExit(10s), 0);
    EXPECT_EQ(alerts(), 1);
    for (const char* path : {"/Library/Application Support/Vesk", "/var/db/vesk",
                             "/var/log/vesk-dnsd.log", "/Applications/VeskFilter.app",
                             "/Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist"}) {
        EXPECT_FALSE(sim.exists(path)) << path;
    }
    EXPECT_EQ(sim.calls().back(), "launchctl bootout system/app.quorran.tarnik.dnsd");
}

}  // namespace
}  // namespace vesk::test
