#include "VeskControl/ControlRoutes.hpp"

#include <gmock/gmock.h>
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
                                   std::chrono::duration<double> timeout) override {
        EXPECT_EQ(timeout, 10s);
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
};

class ControlRoutesTest : public ::testing::Test {
protected:
    Answer call(const std::string& method, const std::string& path, json body = json::object(),
                std::optional<std::string> hostHeader = "127.0.0.1:5355") {
        ControlRequest request{method, path, std::move(body), std::string("application/json"), std::move(hostHeader)};
        return answerOf(routes.route(request));
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

TEST_F(ControlRoutesTest, GuardsComeFirstAndOnlyExactEndpointsAnswer) {
    struct Case {
        const char* method;
        const char* path;
        std::optional<std::string> host;
        std::optional<std::string> contentType;
        int status;
        const char* error;  // "" for none
    };
    const Case cases[] = {
        {"GET", "/status", "localhost:5355", {}, 200, ""},
        {"GET", "/status", "127.0.0.1", {}, 200, ""},
        {"GET", "/status", std::nullopt, {}, 200, ""},
        {"GET", "/status", "LOCALHOST", {}, 421, "bad_host"},
        {"GET", "/status", "localhost.attacker.example", {}, 421, "bad_host"},
        {"GET", "/status", "127.0.0.1.attacker.example:5355", {}, 421, "bad_host"},
        {"GET", "/status", "127.0.0.1:", {}, 421, "bad_host"},
        {"GET", "/status", "localhost:53x", {}, 421, "bad_host"},
        {"GET", "/nowhere", "example.com", {}, 421, "bad_host"},
        {"POST", "/enable", "localhost", "text/plain", 415, "unsupported_media_type"},
        {"POST", "/enable", "localhost", std::nullopt, 415, "unsupported_media_type"},
        {"POST", "/enable", "localhost", "Application/JSON; charset=utf-8", 200, ""},
        {"POST", "/nowhere", "localhost", "application/json", 404, "not_found"},
        {"POST", "/nowhere", "localhost", "text/plain", 415, "unsupported_media_type"},
        {"GET", "/enable", "localhost", {}, 404, "not_found"},
        {"POST", "/status", "localhost", "application/json", 404, "not_found"},
        {"GET", "/status/", "localhost", {}, 404, "not_found"},
        {"get", "/status", "localhost", {}, 404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " host " + c.host.value_or("(none)"));
        auto answer = answerOf(routes.route({c.method, c.path, json::object(), c.contentType, c.host}));
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.body.value("error", ""), c.error);
    }
}

TEST_F(ControlRoutesTest, ThePinGateGuardsEveryProtectiveEndpoint) {
    host.enabled = true;
    for (const char* path : {"/disable", "/verify-pin", "/signout", "/uninstall"}) {
        auto answer = call("POST", path, {{"pin", "1234"}});
        EXPECT_EQ(answer.status, 409) << path;
        EXPECT_EQ(answer.body, json({{"error", "no_pin"}})) << path;
    }
    EXPECT_TRUE(host.enabled);
    EXPECT_TRUE(reporter.events.empty());

    pairAndSetPin();
    // A PIN that is a number is no PIN, and counts as a wrong one.
    EXPECT_EQ(call("POST", "/disable", {{"pin", 1234}}).body, json({{"error", "wrong_pin"}, {"remaining", 4}}));
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "0000"}}).body["remaining"], 3);
    EXPECT_EQ(call("POST", "/uninstall").body["remaining"], 2);
    EXPECT_EQ(call("POST", "/signout", {{"pin", "9999"}}).body["remaining"], 1);
    auto locked = call("POST", "/disable", {{"pin", "1111"}});
    EXPECT_EQ(locked.status, 423);
    EXPECT_EQ(locked.body, json({{"error", "locked"}, {"seconds", 300}}));
    clock.advance(1s);
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "1234"}}).body["seconds"], 299);
    EXPECT_TRUE(host.enabled);
    clock.advance(300s);
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "1234"}}).body, json({{"ok", true}}));
}

TEST_F(ControlRoutesTest, ChangingThePinCannotBeUsedToGuessIt) {
    pairAndSetPin();
    for (int64_t left : {4, 3, 2, 1}) {
        EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "0000"}}).body,
                  json({{"error", "invalid_or_wrong_current"}})) << left;
    }
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "0000"}}).body, json({{"error", "locked"}, {"seconds", 300}}));
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "1234"}}).body, json({{"error", "locked"}, {"seconds", 300}}));
    clock.advance(300s);
    EXPECT_EQ(call("POST", "/pin", {{"pin", "5555"}, {"current", "1234"}}).body, json({{"ok", true}}));
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "5555"}}).body, json({{"ok", true}}));
}

// Enabling what is on everywhere already changes nothing: no tools, no browser restart.
TEST_F(ControlRoutesTest, EnableRestartsBrowsersOnlyWhenItChangesAndDisableTellsThePartnerOnce) {
    pairAndSetPin();
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));  // on everywhere already
    host.allPointed = false;  // a service moved away meanwhile
    EXPECT_EQ(call("POST", "/enable").body, json({{"enabled", true}}));
    EXPECT_EQ(std::pair(host.enables, host.restarts), std::pair(2, 2));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(call("POST", "/disable", {{"pin", "1234"}}).body, json({{"enabled", false}}));
    }
    EXPECT_EQ(reporter.events, std::vector<std::string>{"FILTER_DISABLED"});
    EXPECT_EQ(host.restarts, 2);
    auto status = call("GET", "/status").body;
    EXPECT_EQ(status, json({{"enabled", false}, {"pinSet", true}, {"paired", true}, {"safariPrivacyProxyActive", false},
                            {"tamper", {{"since", nullptr}, {"via", json::array()}}}}));
    host.tamper = {std::chrono::system_clock::time_point(std::chrono::seconds(1'796'472'000)), {"dns_settings", "canary"}};
    EXPECT_EQ(call("GET", "/status").body["tamper"],
              json({{"since", "2026-12-05T12:00:00Z"}, {"via", {"dns_settings", "canary"}}}));
}

TEST_F(ControlRoutesTest, PairingNeedsThePinOnlyToHandTheDeviceToAnotherAccount) {
    EXPECT_EQ(call("GET", "/pair-status").body, json({{"paired", false}, {"email", ""}}));
    EXPECT_EQ(call("POST", "/pin", {{"pin", "1234"}}).body, json({{"error", "not_paired"}}));
    for (json token : {json(""), json(42), json(nullptr)}) {
        EXPECT_EQ(call("POST", "/pair", {{"refreshToken", token}}).body, json({{"error", "missing_token"}}));
    }
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-1"}}).status, 200);
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
    ControlRoutes unreported{{pin, reporter.tokenFile, host, nullptr, nullptr, clock}};
    EXPECT_EQ(answerOf(unreported.route({"POST", "/pair", {{"refreshToken", "carol-1"}, {"pin", "1234"}, {"email", "c@x.io"}},
                                         "application/json", {}})).status, 200);
    EXPECT_EQ(ControlRoutes::readFile(reporter.tokenFile), "carol-1");
    EXPECT_EQ(call("GET", "/pair-status").body["email"], "c@x.io");
}

// A pairing waits on the backend: while one does, others are turned away at once rather
// than each holding a thread.
TEST_F(ControlRoutesTest, OnePairingAtATime) {
    int lookups = 0;
    Answer meanwhile{};
    reporter.duringLookup = [&] {
        if (lookups++ == 0) meanwhile = call("POST", "/pair", {{"refreshToken", "bob-1"}});
    };
    EXPECT_EQ(call("POST", "/pair", {{"refreshToken", "alice-1"}}).status, 200);
    EXPECT_EQ(std::pair(meanwhile.status, meanwhile.body), std::pair(429, json({{"error", "busy"}})));
}

TEST_F(ControlRoutesTest, SignOutReportsBeforeTheTokenGoesAndKeepsThePin) {
    pairAndSetPin();
    host.enabled = true;
    EXPECT_EQ(call("POST", "/signout", {{"pin", "1234"}}).body, json({{"ok", true}}));
    EXPECT_EQ(reporter.events, (std::vector<std::string>{"SIGNED_OUT {} sync (token present)", "sign out"}));
    EXPECT_FALSE(fs::exists(reporter.tokenFile));
    EXPECT_FALSE(fs::exists(reporter.tokenFile + ".email"));
    auto status = call("GET", "/status").body;
    EXPECT_EQ(status["paired"], false);
    EXPECT_EQ(status["enabled"], false);
    EXPECT_EQ(status["pinSet"], true);
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
    host.enabled = host.intended = true;
    trusted = false;
    const std::pair<const char*, const char*> refused[] = {
        {"POST", "/disable"}, {"POST", "/verify-pin"}, {"POST", "/signout"}, {"POST", "/uninstall"},
        {"POST", "/pin"},     {"POST", "/pair"},       {"GET", "/pair-status"},
    };
    for (auto [method, path] : refused) {
        auto answer = call(method, path, {{"pin", "1234"}, {"current", "1234"}, {"refreshToken", "bob-1"}});
        EXPECT_EQ(answer.status, 503) << path;
        EXPECT_EQ(answer.body, json({{"error", "insecure_state_dir"}})) << path;
    }
    EXPECT_TRUE(host.enabled);
    EXPECT_TRUE(reporter.events.empty());
    auto status = call("GET", "/status").body;
    EXPECT_EQ(std::tuple(status["enabled"], status["pinSet"], status["paired"]), std::tuple(true, false, false));
    EXPECT_EQ(call("POST", "/enable").status, 200);
    trusted = true;
    EXPECT_EQ(call("POST", "/verify-pin", {{"pin", "1234"}}).body, json({{"ok", true}}));
}

}  // namespace
}  // namespace vesk::test
