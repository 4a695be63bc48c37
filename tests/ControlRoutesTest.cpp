#include "VeskControl/ControlRoutes.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
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

struct Answer {
    int status;
    json body;
    bool operator==(const Answer&) const = default;
    friend void PrintTo(const Answer& answer, std::ostream* out) { *out << answer.status << " " << answer.body; }
};

class ControlRoutesTest : public ::testing::Test {
protected:
    Answer call(const std::string& method, const std::string& path, json body = json::object()) {
        return answerOf(routes.route({method, path, std::move(body), "application/json", "127.0.0.1:5355"}));
    }
    static Answer answerOf(const std::string& response) {
        size_t split = response.find("\r\n\r\n");
        return {std::stoi(response.substr(9, 3)), json::parse(response.substr(split + 4))};
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
    BlockEventLog blockLog{200};
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
    const Answer badHost{421, {{"error", "bad_host"}}}, notJson{415, {{"error", "unsupported_media_type"}}},
        notFound{404, {{"error", "not_found"}}};
    EXPECT_EQ(route("GET", "/nowhere", "example.com", {}), badHost);
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
    clock.advance(300s);
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "1234"}}).body, json({{"ok", true}}));
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "5555"}}).body, json({{"ok", true}}));
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
    EXPECT_EQ(call("POST", "/pin", {{"pin", "12"}, {"current", "1234"}}).status, 400);

    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-3"}}).status, 200);  // the same account
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "bob-2"}}).status, 403);
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "unknown"}, {"email", "x@y.z"}}).status, 403);
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "bob-2"}, {"pin", "1234"}}).status, 200);
    EXPECT_EQ(ControlRoutes::readFile(reporter.tokenFile), "bob-2+");
    EXPECT_EQ(call("GET", "/pair-status").body["email"], "bob@example.com");
    // An account that cannot be learned leaves no other account's address behind.
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "unknown"}, {"pin", "1234"}}).status, 200);
    EXPECT_EQ(call("GET", "/pair-status").body, json({{"paired", true}, {"email", ""}}));

    // Without reporting, the token is stored as given.
    ControlRoutes alone{{pin, reporter.tokenFile, host, nullptr, nullptr, clock}};
    json pairing = {{"refreshToken", "carol-1"}, {"pin", "1234"}, {"email", "c@x.io"}};
    EXPECT_EQ(answerOf(alone.route({"POST", "/pair", pairing, "application/json", {}})).status, 200);
    EXPECT_EQ(ControlRoutes::readFile(reporter.tokenFile), "carol-1");
    EXPECT_EQ(call("GET", "/pair-status").body["email"], "c@x.io");
}

TEST_F(ControlRoutesTest, EventsListTheNewestFiftyOldestFirst) {
    auto start = BlockEventLog::Clock::time_point{} + std::chrono::seconds(1'796'472'000);  // 2026-12-05T12:00:00Z
    for (int i = 0; i < 60; ++i) blockLog.record("adult", start + std::chrono::seconds(i));
    auto list = call("GET", "/events").body["events"];
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list.front(), json({{"category", "adult"}, {"at", "2026-12-05T12:00:10Z"}}));
    EXPECT_EQ(list.back()["at"], "2026-12-05T12:00:59Z");
    ControlRoutes withoutLog{{pin, reporter.tokenFile, host, nullptr, nullptr, clock}};
    EXPECT_EQ(answerOf(withoutLog.route({"GET", "/events", json::object(), {}, {}})).body, json({{"events", json::array()}}));
}

// Files in a directory someone else can write may be theirs: no PIN of theirs opens anything.
TEST_F(ControlRoutesTest, AnUntrustedStateDirectoryRefusesEveryRouteThatUsesIt) {
    pairAndSetPin();
    trusted = false;
    const std::pair<const char*, const char*> refused[] = {
        {"POST", "/disable"}, {"POST", "/verify-pin"}, {"POST", "/signout"}, {"POST", "/uninstall"},
        {"POST", "/pin"},     {"POST", "/pair"},       {"GET", "/pair-status"}};
    for (auto [method, path] : refused) {
        EXPECT_EQ(call(method, path, {{"pin", "1234"}, {"current", "1234"}, {"refreshToken", "bob-1"}}),
                  (Answer{503, {{"error", "insecure_state_dir"}}})) << path;
    }
    auto status = call("GET", "/status").body;
    EXPECT_EQ(std::tuple(status["pinSet"], status["paired"]), std::tuple(false, false));
    EXPECT_EQ(call("POST", "/enable").status, 200);
}

}  // namespace
}  // namespace vesk::test
