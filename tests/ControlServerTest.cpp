#include "VeskControl/ControlServer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "tests/support/ControlClient.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {

bool operator==(const ControlAnswer& a, const ControlAnswer& b) { return a.status == b.status && a.body == b.body; }
void PrintTo(const ControlAnswer& answer, std::ostream* out) { *out << answer.status << " " << answer.body; }

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct FakeFilterHost final : FilterHost {
    bool enabled = false, intended = false, allPointed = false;
    int enables = 0, restarts = 0;
    FilterView view() override { return {enabled, intended, allPointed, tamper}; }
    void enable() override {
        enabled = intended = allPointed = true;
        ++enables;
    }
    bool disable() override { return std::exchange(enabled, intended = allPointed = false); }
    void restartBrowsers() override { ++restarts; }
    bool safariPrivacyProxyActive(vesk::Clock::Wall::time_point) override { return false; }
    void uninstall(const std::function<void()>&) override {}
    TamperStatus tamper;
};

// Learning an account spends its token: what is stored is the token rotated to ("+").
struct FakeReporter final : EventReporter {
    explicit FakeReporter(std::string file) : tokenFile(std::move(file)) {}
    std::string tokenFile;
    std::vector<std::string> events;  // "NAME", "NAME DETAIL sync (token present|token gone)", "sign out"
    std::function<void()> duringLookup = [] {};
    void reportMonitoringEvent(const std::string& event) override { events.push_back(event); }
    void reportMonitoringEventSync(const std::string& event, const json& detail,
                                   std::chrono::duration<double>) override {
        events.push_back(event + " " + detail.dump() + (fs::exists(tokenFile) ? " sync (token present)" : " sync (token gone)"));
    }
    AccountLookup lookUpAccount(const std::string& token) override {
        duringLookup();
        std::optional<std::string> email;
        if (token.starts_with("alice")) email = "alice@example.com";
        if (token.starts_with("bob")) email = "bob@example.com";
        return {email, [this, token] { return ControlRoutes::writeFile(token + "+", tokenFile); }};
    }
    void signOut() override {
        events.push_back("sign out");
        fs::remove(tokenFile);
    }
};

using Answer = ControlAnswer;

class ControlRoutesTest : public ::testing::Test {
protected:
    Answer call(const std::string& method, const std::string& path, json body = json::object()) {
        return answerOf(routes.route({method, path, std::move(body), "application/json", "127.0.0.1:5355"}));
    }
    void pairAndSetPin() {
        ASSERT_EQ(call("POST", "/pair", {{"refreshToken", "alice-1"}}).status, 200);
        ASSERT_EQ(call("POST", "/pin", {{"pin", "1234"}}).status, 200);
    }

    TempDir dir;
    FakeClock clock;
    PinStore pin{dir.path() + "/etc/pin.hash", 5, 300.0, clock};
    FakeReporter reporter{dir.path() + "/etc/auth.token"};
    FakeFilterHost host;
    BlockEventLog blockLog{55};  // the events test records more, so the oldest go
    bool trusted = true;  // the state directory
    ControlRoutes routes{{pin, reporter.tokenFile, host, &reporter, &blockLog, clock, [this] { return trusted; }}};
};

// Only this machine's names are let in: a web page that rebinds a name of its own onto
// 127.0.0.1 sends that name. Then, any POST must be JSON, before the path is looked at.
TEST_F(ControlRoutesTest, GuardsComeFirstAndOnlyExactEndpointsAnswer) {
    auto route = [&](const char* method, const char* path, std::optional<std::string> hostHeader,
                     std::optional<std::string> contentType = "application/json") {
        return answerOf(routes.route({method, path, json::object(), std::move(contentType), std::move(hostHeader)}));
    };
    for (auto [hostHeader, allowed] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {"localhost:5355", true}, {"127.0.0.1", true}, {std::nullopt, true}, {"LOCALHOST", false},
             {"localhost.attacker.example", false}, {"127.0.0.1.attacker.example:5355", false}, {"127.0.0.1:", false},
             {"localhost:53x", false}}) {
        EXPECT_EQ(route("POST", "/enable", hostHeader).status, allowed ? 200 : 421) << hostHeader.value_or("(none)");
    }
    const Answer notJson{415, {{"error", "unsupported_media_type"}}}, notFound{404, {{"error", "not_found"}}};
    EXPECT_EQ(route("GET", "/nowhere", "example.com", std::nullopt), (Answer{421, {{"error", "bad_host"}}}));
    EXPECT_EQ(route("POST", "/nowhere", "localhost", "text/plain"), notJson);
    EXPECT_EQ(route("POST", "/enable", "localhost", std::nullopt), notJson);
    EXPECT_EQ(route("POST", "/enable", "localhost", "Application/JSON; charset=utf-8").status, 200);
    const std::pair<const char*, const char*> unknown[] = {
        {"POST", "/nowhere"}, {"GET", "/enable"}, {"POST", "/status"}, {"GET", "/status/"}, {"get", "/status"}};
    for (auto [method, path] : unknown) EXPECT_EQ(route(method, path, "localhost"), notFound) << method << " " << path;
}

// Changing the PIN checks the current one like every other check does: were it free, the
// PIN could be guessed there without limit and then replaced.
TEST_F(ControlRoutesTest, EveryPinCheckCountsTowardOneLockOut) {
    host.enabled = true;
    for (const char* path : {"/disable", "/verify-pin", "/signout", "/uninstall"}) {
        EXPECT_EQ(call("POST", path, {{"pin", "1234"}}), (Answer{409, {{"error", "no_pin"}}})) << path;
    }
    pairAndSetPin();
    // A PIN that is a number is no PIN, and counts as a wrong one.
    EXPECT_EQ(call("POST", "/disable", {{"pin", 1234}}), (Answer{403, {{"error", "wrong_pin"}, {"remaining", 4}}}));
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "0000"}}),
              (Answer{400, {{"error", "invalid_or_wrong_current"}}}));
    EXPECT_EQ(call("POST", "/uninstall").body["remaining"], 2);
    EXPECT_EQ(call("POST", "/signout", {{"pin", "9999"}}).body["remaining"], 1);
    const Answer locked{423, {{"error", "locked"}, {"seconds", 300}}};
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "0000"}}), locked);
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "1234"}}), locked);
    EXPECT_EQ(call("POST", "/disable", {{"pin", "1234"}}), locked);
    EXPECT_TRUE(host.enabled && reporter.events.empty());
}

// Enabling what is on everywhere already changes nothing: no tools, no browser restart. The
// sign-out is reported while the token is still there to authenticate it, and keeps the PIN.
TEST_F(ControlRoutesTest, EnableDisableAndSignOut) {
    pairAndSetPin();
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));  // on everywhere already
    host.allPointed = false;  // a service moved away meanwhile
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));
    EXPECT_EQ(std::pair(host.enables, host.restarts), std::pair(2, 2));
    for (int round = 0; round < 2; ++round) {  // the second finds it off already
        EXPECT_EQ(call("POST", "/disable", {{"pin", "1234"}}).body, json({{"enabled", false}}));
        EXPECT_EQ(reporter.events, std::vector<std::string>{"FILTER_DISABLED"});
    }
    EXPECT_EQ(host.restarts, 2);
    host.tamper = {std::chrono::system_clock::time_point(std::chrono::seconds(1'796'472'000)), {"dns_settings", "canary"}};
    EXPECT_EQ(call("GET", "/status").body,
              json({{"enabled", false}, {"pinSet", true}, {"paired", true}, {"safariPrivacyProxyActive", false},
                    {"tamper", {{"since", "2026-12-05T12:00:00Z"}, {"via", {"dns_settings", "canary"}}}}}));

    host.enabled = true;
    EXPECT_EQ(call("POST", "/signout", {{"pin", "1234"}}).body, json({{"ok", true}}));
    EXPECT_EQ(reporter.events,
              (std::vector<std::string>{"FILTER_DISABLED", "SIGNED_OUT {} sync (token present)", "sign out"}));
    EXPECT_FALSE(fs::exists(reporter.tokenFile) || fs::exists(reporter.tokenFile + ".email"));
    auto status = call("GET", "/status").body;
    EXPECT_EQ(std::tuple(status["enabled"], status["pinSet"], status["paired"]), std::tuple(false, true, false));
    // Files in a directory someone else can write may be theirs: no PIN of theirs opens
    // anything, while turning filtering on needs none.
    trusted = false;
    const std::pair<const char*, const char*> refused[] = {
        {"POST", "/disable"}, {"POST", "/verify-pin"}, {"POST", "/signout"}, {"POST", "/uninstall"},
        {"POST", "/pin"},     {"POST", "/pair"},       {"GET", "/pair-status"}};
    for (auto [method, path] : refused) {
        EXPECT_EQ(call(method, path, {{"pin", "1234"}, {"current", "1234"}, {"refreshToken", "bob-1"}}),
                  (Answer{503, {{"error", "insecure_state_dir"}}})) << path;
    }
    EXPECT_EQ(call("GET", "/status").body["pinSet"], false);
    EXPECT_EQ(call("POST", "/enable").status, 200);
}

TEST_F(ControlRoutesTest, PairingNeedsThePinOnlyToHandTheDeviceToAnotherAccount) {
    EXPECT_EQ(call("GET", "/pair-status").body, json({{"paired", false}, {"email", ""}}));
    EXPECT_EQ(call("POST", "/pin", {{"pin", "1234"}}).body, json({{"error", "not_paired"}}));
    for (json token : {json(""), json(42), json(nullptr)}) {
        EXPECT_EQ(call("POST", "/pair", {{"refreshToken", token}}).body, json({{"error", "missing_token"}}));
    }
    // A pairing waits on the backend: while one does, others are turned away at once rather
    // than each holding a thread.
    int lookups = 0;
    Answer meanwhile{};
    reporter.duringLookup = [&] {
        if (lookups++ == 0) meanwhile = call("POST", "/pair", {{"refreshToken", "bob-1"}});
    };
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-1"}}).status, 200);
    EXPECT_EQ(meanwhile, (Answer{429, {{"error", "busy"}}}));
    EXPECT_EQ(call("GET", "/pair-status").body, json({{"paired", true}, {"email", "alice@example.com"}}));
    // No PIN yet: any account may take the device over.
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "bob-1"}}).status, 200);
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-2"}}).status, 200);
    EXPECT_EQ(call("POST", "/pin", {{"pin", "1234"}}).status, 200);
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5678"}}).body, json({{"error", "invalid_or_wrong_current"}}));

    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-3"}}).status, 200);  // the same account
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "unknown"}, {"email", "x@y.z"}}).status, 403);
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "bob-2"}, {"pin", "1234"}}).status, 200);
    EXPECT_EQ(ControlRoutes::readFile(reporter.tokenFile), "bob-2+");
    // An account that cannot be learned leaves no other account's address behind.
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "unknown"}, {"pin", "1234"}}).status, 200);
    EXPECT_EQ(call("GET", "/pair-status").body, json({{"paired", true}, {"email", ""}}));

    // Without reporting, the token is stored as given.
    ControlRoutes alone{{pin, reporter.tokenFile, host, nullptr, nullptr, clock}};
    json pairing = {{"refreshToken", "carol-1"}, {"pin", "1234"}, {"email", "c@x.io"}};
    EXPECT_EQ(answerOf(alone.route({"POST", "/pair", pairing, "application/json", {}})).status, 200);
    EXPECT_EQ(ControlRoutes::readFile(reporter.tokenFile), "carol-1");
    EXPECT_EQ(call("GET", "/pair-status").body["email"], "c@x.io");
    EXPECT_EQ(answerOf(alone.route({"GET", "/events", json::object(), {}, {}})).body["events"], json::array());
}

TEST_F(ControlRoutesTest, EventsListTheNewestFiftyOldestFirst) {
    auto start = BlockEventLog::Clock::time_point{} + std::chrono::seconds(1'796'472'000);  // 2026-12-05T12:00:00Z
    for (int i = 0; i < 60; ++i) blockLog.record("adult", start + std::chrono::seconds(i));
    auto list = call("GET", "/events").body["events"];
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list.front(), json({{"category", "adult"}, {"at", "2026-12-05T12:00:10Z"}}));
    EXPECT_EQ(list.back()["at"], "2026-12-05T12:00:59Z");
}

// A server on a free port with a short read deadline, so that closing an idle connection
// is seen without waiting ten seconds, room for 100 connections, and descriptors to spare
// for 9 of them at a time (a tenth of 20 kept, half the rest taken).
class ControlServerTest : public ControlRoutesTest {
protected:
    void SetUp() override { server.start(); }

    BlockingPool pool{"test.control"};
    std::atomic<int> counts = 0;
    ControlServer server{routes, pool, 0,
                         {.deadline = 300ms, .mostConnections = 100, .descriptors = [this] {
                              ++counts;
                              return std::optional(DescriptorUse{0, 20});
                          }}};
};

// Each sent in two parts, the first line and the rest: a request is answered once it has
// all arrived, and only the first on a connection; what never becomes one is closed
// unanswered; malformed framing is answered 400.
TEST_F(ControlServerTest, AnswersTheFirstWholeRequestAndRefusesMalformedOnes) {
    for (auto [sent, answer] : std::vector<std::pair<std::string, std::string>>{
             {controlRequest("POST", "/enable", "{}") + "GET /status HTTP/1.1\r\n\r\n", ControlHttp::json(200, {{"enabled", true}})},
             {"POST /pair HTTP/1.1\r\nContent-Length: 100\r\n\r\n{}", ""},
             {"GET /status HTTP/1.1\r\nHost: x\n", ControlHttp::json(400, {{"error", "bad_request"}})}}) {
        TcpClient client(server.port());
        size_t cut = sent.find('\n') + 1;
        client.write(sent.substr(0, cut));
        client.write(sent.substr(cut));
        EXPECT_EQ(client.readToEnd(10s), answer) << sent;
    }
}

// A tenth of the limit stays free; half of the rest may be taken before counting again.
TEST(ConnectionCap, KeepsADescriptorReserveAndMakesRoomOnlyFromIdleConnections) {
    for (auto [open, limit, budget] : std::vector<std::array<size_t, 3>>{
             {0, 4096, 1844}, {3686, 4096, 1}, {3687, 4096, 0}, {5000, 4096, 0}, {0, 256, 116}, {10, SIZE_MAX, SIZE_MAX}}) {
        EXPECT_EQ(descriptorBudget(open, limit), budget) << open << " of " << limit;
    }
    // A new connection takes the oldest idle one's place, or is refused.
    ConnectionCap<int> cap(3);
    for (int connection : {1, 2, 3}) cap.admit(connection);
    cap.busy(1);
    EXPECT_EQ(cap.admit(4).evicted, 2);  // 1 is busy
    cap.busy(3);
    cap.busy(4);
    EXPECT_FALSE(cap.admit(5).admitted);
    cap.remove(1);
    auto admitted = cap.admit(5);
    EXPECT_TRUE(admitted.admitted && !admitted.evicted && cap.size() == 3);
}

// Idle ones are closed once their deadline passes, or at once to make room past the cap
// (200 here for 100 places), and the rest all together when the server stops. Descriptors
// are counted again each time the last count's budget is spent. The answer meanwhile is
// more than a socket's initial buffers take, so that it goes out as the peer reads, and a
// byte in it that is not UTF-8 is replaced rather than thrown on.
TEST_F(ControlServerTest, IdleConnectionsDoNotHoldUpOthers) {
    ControlServer patient(routes, pool, 0, {.mostConnections = 100});
    patient.start();
    for (int i = 0; i < 50; ++i) blockLog.record(std::string(40'000, 'x') + "\xFF", BlockEventLog::Clock::now());
    for (auto* each : {&server, &patient}) {
        std::vector<std::unique_ptr<TcpClient>> idle;
        for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TcpClient>(each->port()));
        auto events = controlCall(each->port(), "GET", "/events").body["events"];
        ASSERT_EQ(events.size(), 50u);
        EXPECT_EQ(events[49]["category"], std::string(40'000, 'x') + "\uFFFD");
        if (each == &patient) patient.stop();
        for (auto& client : idle) ASSERT_TRUE(client->readToEnd(5s));
    }
    EXPECT_GE(counts.load(), 201 / 9);
}

}  // namespace
}  // namespace vesk::test
