// The way of a relay that stays on, from the monitor's tick to the backend: the real
// monitor and the real reporter, wired as the daemon wires them, in virtual time.
#include <gtest/gtest.h>

#include "VeskAlerts/AlertReporter.hpp"
#include "VeskHost/PrivacyProxyMonitor.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/FakeHttp.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"
#include "vesk_dnsd/Adapters.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

TEST(BypassReportTest, ARelayOnPastTheGraceReachesTheBackendAsFilterBypassed) {
    TempDir dir;
    ManualQueue queue;
    QueueClock clock(queue);
    FakeHttp backend([](const HttpRequest& request) -> std::optional<HttpResponse> {
        if (request.url.find("/auth/v1/token") != std::string::npos) {
            return HttpResponse{200, R"({"access_token":"A1","refresh_token":"R0","expires_in":3600})", ""};
        }
        return HttpResponse{204, "", ""};
    });
    AlertConfig config{"https://backend.example/", "anon", dir.write("token", "R0"), "MACOS", 3};
    auto reporter = AlertReporter::create(config, {backend, queue, [&] { return clock.wallNow(); }});
    ASSERT_TRUE(reporter);
    FakeToolRunner tools;
    FakeConsoleUser console;
    console.uid = 501;
    PrivacyProxyMonitor monitor({[] { return true; }, [](Clock::Wall::time_point) { return true; },
                                 bypassReporter(*reporter), tools, console, clock},
                                300s, 3600s, queue);
    monitor.start(60s);

    queue.advance(10s + 299s);
    EXPECT_EQ(backend.count("/rpc/"), 0u);
    queue.advance(1s);  // the tick at 310 s, 300 s after the relay was first seen
    ASSERT_EQ(backend.count("/rpc/tarnik_report_monitoring_event"), 1u);
    auto sent = backend.requests().back();
    EXPECT_EQ(json::parse(sent.body), json({{"p_event", "FILTER_BYPASSED"}, {"p_detail", {{"minutes", 5}}}}));
    EXPECT_EQ(tools.calls().size(), 1u);  // the user's notification, at the first tick
}

}  // namespace
}  // namespace vesk::test
