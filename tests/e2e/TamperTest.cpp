// The tamper watch of the real daemon on a simulated host: each way around the filter is
// noticed, the settings are put back, and the partner hears of each once.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/Backend.hpp"
#include "tests/e2e/Daemon.hpp"

namespace vesk::test {
namespace {

using json = nlohmann::json;

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

// How many of the daemon's calls of the simulated host's tools began so: lookups and link
// checks come one a tick.
size_t count(const HostSim& sim, const std::string& call) {
    return static_cast<size_t>(
        std::ranges::count_if(sim.calls(), [&](const std::string& made) { return made.starts_with(call); }));
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
    sim.writeResolverFile(".hidden", {"domain adult.example", "nameserver 127.0.0.1", "port 5499"});
    sim.setHostsFile({"127.0.0.1 localhost", "203.0.113.9 www.adult.example"});

    // A restart still knows the filter is meant to be on, and puts the settings back: the
    // changed ones told of once, the new one quietly, the VPN's refusal once. A hidden
    // resolver file sending a listed domain to another resolver on this machine and a hosts
    // line for a listed name are told of, and never touched.
    daemon = Daemon::serve(blocklist, {&upstream}, options, {}, host.path(), faster);
    EXPECT_EQ(daemon->lines("vesk-dnsd: filter state"), std::vector<std::string>{"vesk-dnsd: filter state at startup: OFF"});
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s)) << ::testing::PrintToString(servers(sim));
    EXPECT_TRUE(daemon->waitForLog("tamper: dns settings of Wi-Fi were 8.8.8.8 — restored"));
    EXPECT_TRUE(daemon->waitForLog("tamper: new service USB 10/100 LAN pointed at the filter"));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 4; }, 10s));
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
    size_t looked = count(sim, "networksetup -getinfo VPN");
    ASSERT_TRUE(waitUntil([&] { return count(sim, "networksetup -getinfo VPN") > looked + 2; }, 60s));
    link("up");
    EXPECT_EQ(bypasses(backend).size(), 4u);

    // Once the settings finding has cleared, Wi-Fi changed by hand with the host's own tool
    // (undone, and the canary it makes fail is part of it), and an encrypted resolver, which
    // only the canary sees: once it has failed with the settings left alone long enough to
    // tell it apart.
    ASSERT_TRUE(waitUntil([&] { return daemon->call("GET", "/status")["tamper"]["via"].size() == 2; }, 20s));
    ASSERT_EQ(std::system((sim.path("/usr/sbin/networksetup") + " -setdnsservers Wi-Fi 8.8.8.8").c_str()), 0);
    sim.setEncryptedResolver(true);
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 6; }, 90s));
    EXPECT_TRUE(daemon->waitForLog("tamper: canary lookup did not reach the filter (no address)"));
    auto status = daemon->call("GET", "/status")["tamper"];
    EXPECT_EQ(status["via"], json({"resolver_file", "hosts_file", "canary"}));
    EXPECT_TRUE(status["since"].is_string());
    size_t before = count(sim, "dscacheutil -q host");
    // A whole further tick with them still there: its lookup is followed by the next one's.
    ASSERT_TRUE(waitUntil([&] { return count(sim, "dscacheutil -q host") > before + 1; }, 45s));
    auto told = bypasses(backend);
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"canary no address", "dns_settings VPN (refused)", "dns_settings Wi-Fi",
                                             "dns_settings Wi-Fi, *Bridge", "hosts_file www.adult.example",
                                             "resolver_file /etc/resolver/.hidden"}));
    EXPECT_TRUE(sim.exists("/etc/resolver/.hidden"));
    EXPECT_EQ(daemon->stop(), 0);
}

}  // namespace
}  // namespace vesk::test
