// The real daemon on a simulated host with a fake backend: its control API called as the
// companion application calls it, and its tamper watch.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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
    EXPECT_TRUE(waitUntil([&] { return callsMade(sim, "open -a Safari") > 0; }, 20s)) << "no browser restart";

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
    fs::permissions(sim.path("/var/db"), fs::perms::group_write, fs::perm_options::add);
    auto refused = controlCall(daemon->controlPort(), "POST", "/disable", {{"pin", "1111"}});
    EXPECT_EQ(std::pair(refused.status, refused.body), std::pair(503, json({{"error", "insecure_state_dir"}})));
    EXPECT_EQ(daemon->call("GET", "/status")["enabled"], true);
    const json bypassed = {{"p_event", "FILTER_BYPASSED"},
                           {"p_detail", {{"via", "state_dir"}, {"what", "/var/db is writable by its group"}}}};
    EXPECT_TRUE(waitUntil([&] { return monitoringEvents(backend) == std::vector<json>{bypassed}; }, 10s));
    EXPECT_TRUE(daemon->waitForLog("insecure state directory: /var/db is writable by its group — PIN, pairing "
                                   "and turning filtering off refused"));
    fs::permissions(sim.path("/var/db"), fs::perms::group_write, fs::perm_options::remove);

    EXPECT_EQ(daemon->call("POST", "/disable", {{"pin", "2468"}}), json({{"enabled", false}}));
    EXPECT_TRUE(std::ranges::all_of(sim.services(), [](const auto& s) { return s.servers.empty(); }));
    // The disable is told before the sign-out, whose own event goes before its answer (all
    // three checked with the last, below).
    EXPECT_TRUE(waitUntil([&] { return monitoringEvents(backend).size() == 2; }, 10s));
    EXPECT_EQ(daemon->call("POST", "/signout", {{"pin", "2468"}}), json({{"ok", true}}));
    EXPECT_EQ(monitoringEvents(backend).size(), 3u);
    EXPECT_FALSE(fs::exists(tokenFile));
    // Signed out, a block stays on this machine (counted once the daemon has gone, below).
    client.send(daemon->port(), query(0x4002, "adult.example"));
    ASSERT_TRUE(client.receive(5s));

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
        EXPECT_FALSE(fs::exists(fs::symlink_status(sim.path(path)))) << path;
    }
    EXPECT_EQ(sim.calls().back(), "launchctl bootout system/app.quorran.tarnik.dnsd");
}

// The FILTER_BYPASSED events so far, as "via what".
std::vector<std::string> bypasses(const HttpServer& backend) {
    std::vector<std::string> found;
    for (const auto& event : monitoringEvents(backend)) {
        if (event.value("p_event", "") != "FILTER_BYPASSED") continue;
        found.push_back(event["p_detail"].value("via", "") + " " + event["p_detail"].value("what", ""));
    }
    return found;
}

std::vector<std::string> servers(const HostSim& sim) {
    std::vector<std::string> found;
    for (const auto& service : sim.services()) {
        if (service.enabled) found.push_back(service.name + " " + (service.servers.empty() ? "-" : service.servers[0]));
    }
    return found;
}

TEST(TamperTest, EachWayAroundTheFilterIsNoticedUndoneWhereItCanBeAndToldOnce) {
    FakeUpstream upstream(FakeUpstream::silent());
    HttpServer backend(rotatingBackend());
    TempDir host;
    auto sim = HostSim::install(host.path());
    std::string blocklist = host.path() + "/Library/Application Support/Vesk/adult-domains.txt";
    std::vector<std::string> options = {"--supabase-url", backend.url("/"), "--anon-key", "anon",
                                        "--alerts-token-file", host.path() + "/var/db/vesk/auth.token"};
    const std::vector<std::string> filtered = {"Wi-Fi 127.0.0.1", "*Bridge 127.0.0.1",
                                               "USB 10/100 LAN 127.0.0.1", "VPN 10.8.0.1"};

    // Turned on through the control API, which is no finding; then, while the daemon is
    // down, Wi-Fi pointed elsewhere, two services appear: one named to look disabled (a
    // leading "*") with a server of its own, and one that uses the network's resolvers (a
    // dock's Ethernet); and a VPN whose settings the system keeps.
    // The watch looks ten times as often as it does on a Mac.
    const std::vector<std::string> faster = {"VESK_WATCH_SPEEDUP=10"};
    auto daemon = Daemon::serve(blocklist, {&upstream}, options, {}, host.path(), faster);
    ASSERT_EQ(daemon->call("POST", "/pair", {{"refreshToken", "alice-1"}}), json({{"ok", true}}));
    ASSERT_EQ(daemon->call("POST", "/pin", {{"pin", "2468"}}), json({{"ok", true}}));
    ASSERT_EQ(daemon->call("POST", "/enable"), json({{"enabled", true}}));
    ASSERT_EQ(daemon->stop(), 0);
    sim.setServices({{"Wi-Fi", true, {"8.8.8.8"}},
                     {"*Bridge", true, {"9.9.9.9"}},
                     {"USB 10/100 LAN", true, {}},
                     {"VPN", true, {"10.8.0.1"}, true, true}});
    sim.setHostsFile({"127.0.0.1 localhost", "203.0.113.9 www.adult.example"});

    // A restart still knows the filter is meant to be on, and puts the settings back: the
    // changed ones told of once, the new one quietly, the VPN's refusal once. A hosts line
    // for a name the daemon's own list refuses is told of.
    daemon = Daemon::serve(blocklist, {&upstream}, options, {}, host.path(), faster);
    EXPECT_EQ(daemon->lines("vesk-dnsd: filter state"), std::vector<std::string>{"vesk-dnsd: filter state at startup: OFF"});
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s)) << ::testing::PrintToString(servers(sim));
    EXPECT_TRUE(daemon->waitForLog("tamper: dns settings of Wi-Fi were 8.8.8.8 — restored"));
    EXPECT_TRUE(daemon->waitForLog("tamper: new service USB 10/100 LAN pointed at the filter"));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 3; }, 10s));
    EXPECT_EQ(daemon->call("GET", "/status")["enabled"], true);

    // The lid closed for three ticks: no network, so no lookup reaches anyone, and the
    // canary is not sent.
    auto link = [&](const std::string& state) {
        for (const auto& service : sim.services()) {
            std::string command = std::string(VESK_HOSTSIM_PATH) + " link " + host.path() + " '" + service.name + "' " + state;
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    };
    link("down");
    size_t looked = callsMade(sim, "networksetup -getinfo VPN");
    ASSERT_TRUE(waitUntil([&] { return callsMade(sim, "networksetup -getinfo VPN") > looked + 2; }, 60s));
    link("up");
    EXPECT_EQ(bypasses(backend).size(), 3u);

    // Once the settings finding has cleared, Wi-Fi changed by hand with the host's own tool
    // (undone, and the canary it makes fail is part of it), and an encrypted resolver, which
    // only the canary sees: once it has failed with the settings left alone long enough to
    // tell it apart.
    ASSERT_TRUE(waitUntil([&] { return daemon->call("GET", "/status")["tamper"]["via"].size() == 1; }, 20s));
    ASSERT_EQ(std::system((sim.path("/usr/sbin/networksetup") + " -setdnsservers Wi-Fi 8.8.8.8").c_str()), 0);
    sim.installEncryptedResolver();
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 5; }, 90s));
    EXPECT_TRUE(daemon->waitForLog("tamper: canary lookup did not reach the filter (no address)"));
    auto status = daemon->call("GET", "/status")["tamper"];
    EXPECT_EQ(status["via"], json({"hosts_file", "canary"}));
    EXPECT_TRUE(status["since"].is_string());
    size_t before = callsMade(sim, "dscacheutil -q host");
    // A whole further tick with them still there: its lookup is followed by the next one's.
    ASSERT_TRUE(waitUntil([&] { return callsMade(sim, "dscacheutil -q host") > before + 1; }, 45s));
    auto told = bypasses(backend);
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"canary no address", "dns_settings VPN (refused)", "dns_settings Wi-Fi",
                                             "dns_settings Wi-Fi, *Bridge", "hosts_file www.adult.example"}));
    EXPECT_EQ(daemon->stop(), 0);
}

}  // namespace
}  // namespace vesk::test
