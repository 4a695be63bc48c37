// The tamper watch of the real daemon on a simulated host: each way around the filter is
// noticed, the settings are put back, and the partner hears of each once.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/e2e/Backend.hpp"
#include "tests/e2e/Daemon.hpp"
#include "tests/support/ControlClient.hpp"

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

// How many lookups the daemon has had the simulated host make: one a tick.
size_t lookups(const HostSim& sim) {
    auto calls = sim.calls();
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.starts_with("dscacheutil -q host");
    }));
}

TEST(TamperTest, EachWayAroundTheFilterIsNoticedUndoneWhereItCanBeAndToldOnce) {
    FakeUpstream upstream(FakeUpstream::silent());
    HttpServer backend(rotatingBackend());
    TempDir host;
    auto sim = HostSim::install(host.path());
    std::string tokenFile = host.path() + "/usr/local/etc/vesk/auth.token";
    std::string blocklist = host.path() + "/usr/local/share/vesk/adult-domains.txt";
    std::vector<std::string> options = {"--supabase-url", backend.url("/"), "--anon-key", "anon",
                                        "--alerts-token-file", tokenFile};
    const std::vector<std::string> filtered = {"Wi-Fi 127.0.0.1", "Thunderbolt Bridge 127.0.0.1"};

    // Turned on through the control API, which is no finding; then every service pointed
    // elsewhere while the daemon is down.
    auto daemon = Daemon::serve(blocklist, {&upstream}, options, {}, host.path());
    ASSERT_TRUE(daemon->waitForLine([](std::string_view line) { return line.starts_with("vesk-dnsd: filter state"); }));
    auto call = [&](const std::string& method, const std::string& path, json body = json::object()) {
        return controlCall(daemon->controlPort(), method, path, body).body;
    };
    ASSERT_EQ(call("POST", "/pair", {{"refreshToken", "alice-1"}}), json({{"ok", true}}));
    ASSERT_EQ(call("POST", "/pin", {{"pin", "2468"}}), json({{"ok", true}}));
    ASSERT_EQ(call("POST", "/enable"), json({{"enabled", true}}));
    ASSERT_EQ(daemon->stop(), 0);
    sim.setServices({{"Wi-Fi", true, {"8.8.8.8"}}, {"Thunderbolt Bridge", true, {"9.9.9.9"}}});

    // A restart still knows the filter is meant to be on, and puts the settings back.
    daemon = Daemon::serve(blocklist, {&upstream}, options, {}, host.path());
    ASSERT_TRUE(daemon->waitForLine([](std::string_view line) { return line.starts_with("vesk-dnsd: filter state"); }));
    EXPECT_EQ(daemon->lines("vesk-dnsd: filter state"), std::vector<std::string>{"vesk-dnsd: filter state at startup: OFF"});
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s)) << ::testing::PrintToString(servers(sim));
    EXPECT_TRUE(daemon->waitForLog("tamper: dns settings of Wi-Fi were 8.8.8.8 — restored"));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 1; }, 10s));
    EXPECT_EQ(call("GET", "/status")["enabled"], true);

    // Once that finding has cleared, all four at once, each told once however long it
    // stays: the settings changed behind the daemon's back with the host's own tool (undone),
    // a resolver file for a whole top-level domain and a hosts line for a listed name (never
    // touched), and an encrypted resolver, which only the canary sees.
    size_t before = lookups(sim);
    ASSERT_TRUE(waitUntil([&] { return lookups(sim) > before; }, 20s));
    ASSERT_EQ(std::system((sim.path("/usr/sbin/networksetup") + " -setdnsservers Wi-Fi 1.1.1.1").c_str()), 0);
    sim.writeResolverFile("com", {"nameserver 8.8.8.8"});
    sim.setHostsFile({"127.0.0.1 localhost", "203.0.113.9 www.adult.example"});
    sim.setEncryptedResolver(true);
    EXPECT_TRUE(waitUntil([&] { return servers(sim) == filtered; }, 20s));
    EXPECT_TRUE(waitUntil([&] { return bypasses(backend).size() == 5; }, 20s));
    EXPECT_TRUE(daemon->waitForLog("tamper: canary lookup did not reach the filter (no address)"));
    auto status = call("GET", "/status")["tamper"];
    auto via = status["via"];
    // The restored settings may already have cleared, if the changes straddled two ticks.
    if (!via.empty() && via[0] == "dns_settings") via.erase(0);
    EXPECT_EQ(via, json({"resolver_file", "hosts_file", "canary"}));
    EXPECT_TRUE(status["since"].is_string());
    before = lookups(sim);
    // A whole further tick with them still there: its lookup is followed by the next one's.
    ASSERT_TRUE(waitUntil([&] { return lookups(sim) > before + 1; }, 30s));
    // Each once; in what order depends on which tick saw each change, since a tick reads the
    // sources one after another while the test makes its changes.
    auto told = bypasses(backend);
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"canary no address", "dns_settings Wi-Fi", "dns_settings Wi-Fi, Thunderbolt Bridge",
                                             "hosts_file www.adult.example", "resolver_file /etc/resolver/com"}));

    // Turned off with the PIN: the next tick drops the findings and tells no one, though
    // they are still there.
    ASSERT_EQ(call("POST", "/disable", {{"pin", "2468"}}), json({{"enabled", false}}));
    EXPECT_TRUE(waitUntil([&] { return call("GET", "/status")["tamper"]["via"].empty(); }, 20s));
    EXPECT_EQ(bypasses(backend).size(), 5u);
    EXPECT_TRUE(sim.exists("/etc/resolver/com"));
    EXPECT_EQ(daemon->stop(), 0);
}

}  // namespace
}  // namespace vesk::test
