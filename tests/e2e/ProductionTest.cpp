// The daemon as it runs in production: paired before it starts, the relay watch reaching
// the user's desktop, and a prompt stop with work in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "tests/e2e/Daemon.hpp"
#include "tests/support/HttpServer.hpp"

namespace vesk::test {
namespace {

TEST(ProductionTest, StartsPairedWarnsOfTheRelayAndStopsPromptlyWithWorkInFlight) {
    FakeUpstream upstream(FakeUpstream::silent());
    // Tokens come; monitoring events never get an answer, so a sign-out waits on one.
    HttpServer backend([](const HttpServer::Request& request) {
        if (request.target.starts_with("/auth/")) {
            return HttpServer::Reply{HttpServer::Reply::Kind::respond, 200,
                                     R"({"access_token":"A1","refresh_token":"R0","expires_in":3600})", {}};
        }
        return HttpServer::Reply{HttpServer::Reply::Kind::hang, 0, "", {}};
    });
    TempDir host;
    auto sim = HostSim::install(host.path());
    sim.setServices({{"Wi-Fi", true, {"127.0.0.1"}}});
    sim.setSafariRelay("1");
    std::string tokenFile = host.write("var/db/vesk/auth.token", "R0\n");
    auto daemon = Daemon::serve(host.path() + "/Library/Application Support/Vesk/adult-domains.txt", {&upstream},
                                {"--supabase-url", backend.url("/"), "--anon-key", "anon", "--alerts-token-file", tokenFile},
                                {}, host.path(), {"VESK_WATCH_SPEEDUP=10"});
    EXPECT_EQ(daemon->lines("vesk-dnsd: alert"),
              std::vector<std::string>{"vesk-dnsd: alert reporting CONFIGURED -> " + backend.url("/") + " (paired: yes)"});
    EXPECT_EQ(daemon->lines("vesk-dnsd: control"),
              std::vector<std::string>{"vesk-dnsd: control API on 127.0.0.1:" + std::to_string(daemon->controlPort()) +
                                       " (pin file: " + host.path() + "/var/db/vesk/pin.hash)"});

    // The first look (10 s after start on a Mac, 1 s here) finds the relay on and tells the user.
    std::string notify = "launchctl asuser " + std::to_string(sim.consoleUid()) + " /usr/bin/sudo -u user1 /usr/bin/osascript -e ";
    EXPECT_TRUE(waitUntil([&] {
        return std::ranges::any_of(sim.calls(), [&](const std::string& call) { return call.starts_with(notify); });
    }, 30s)) << "no notification";
    EXPECT_TRUE(daemon->waitForLog("privacy proxy ACTIVE — Safari bypassing filter; alarming user"));

    ASSERT_EQ(controlCall(daemon->controlPort(), "POST", "/pin", {{"pin", "2468"}}).status, 200);
    auto signOut = std::async(std::launch::async, [&] {
        return controlCall(daemon->controlPort(), "POST", "/signout", {{"pin", "2468"}});
    });
    ASSERT_TRUE(waitUntil([&] {
        auto signedOut = [](const auto& request) { return request.body.find("SIGNED_OUT") != request.body.npos; };
        return std::ranges::any_of(backend.requests(), signedOut);
    }, 10s));
    EXPECT_EQ(daemon->stop(), 0);  // within the harness's 5 s, though the sign-out waits up to 10
    signOut.wait();
}

}  // namespace
}  // namespace vesk::test
