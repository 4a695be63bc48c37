#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VeskDNSCore/BlockSubscriber.hpp"
#include "VeskPlatform/HttpSession.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"

namespace vesk {

namespace LogChannels {
inline constexpr LogChannel alerts{daemon, "alerts"};
}  // namespace LogChannels

// The command line's alert settings.
struct AlertConfig {
    std::optional<std::string> supabaseURL;
    std::optional<std::string> anonKey;
    std::optional<std::string> refreshTokenFile;
    std::string sourcePlatform = "MACOS";
    int64_t maxRetries = 3;
};

// The daemon's client for the accountability backend: turns the device's refresh token
// into access tokens (cached until shortly before they expire), and delivers block alerts
// (retried with back-off, a refused token renewed once) and monitoring events. Every token
// operation and the start of every request happen on tokenQ, one at a time; answers come
// on the HTTP client's thread. Create with create(): handlers hold it weakly.
class AlertReporter final : public BlockSubscriber, public std::enable_shared_from_this<AlertReporter> {
public:
    using SystemClock = std::chrono::system_clock;
    // What the reporter runs on: the HTTP client, the token queue (which must outlive
    // the reporter's use) and the wall clock, all replaceable in tests.
    struct Environment {
        HttpClient& http;
        TaskQueue& tokenQ;
        std::function<SystemClock::time_point()> now = [] { return SystemClock::now(); };
        std::chrono::milliseconds accountWait = std::chrono::seconds(10);  // for an account lookup's answer
        // Whether the token file's directory can be trusted; none: always. From one that
        // cannot, no token is read or written: only the access token held in memory is used.
        std::function<bool()> stateTrusted = nullptr;
    };
    // Alerts pending at once (queued, in flight or waiting for a retry); more are dropped.
    static constexpr int64_t pendingAlertCap = 1000;

    // None when the configuration is unusable: no URL, one that does not parse, a scheme
    // other than "https" (or "http" to this machine), no key or no token file.
    static std::shared_ptr<AlertReporter> create(const AlertConfig& config, Environment environment);

    // Whether the token file holds a refresh token now (UTF-8, not only white space).
    bool paired() const { return readRefreshToken().has_value(); }

    const std::string& ingestURL() const { return ingest; }
    const std::string& monitoringRpcURL() const { return monitoringRpc; }
    const std::string& tokenURL() const { return token; }

    // Only queues the work; returns at once.
    void reportBlock(const std::string& category, SystemClock::time_point occurredAt);
    void blocked(std::string_view category, const DomainName& name, SystemClock::time_point at) override;
    void reportMonitoringEvent(const std::string& event, nlohmann::json detail,
                               std::function<void()> completion = nullptr);
    // Waits until the event's answer came or timeout passed, whichever is first.
    void reportMonitoringEventSync(const std::string& event, std::chrono::duration<double> timeout,
                                   nlohmann::json detail = nlohmann::json::object());

    // What spending a refresh token to learn its account gave back: the account's e-mail,
    // and the refresh token the backend rotated it to. A backend that rotates refuses the
    // spent token from then on, so the rotated one is the one to keep.
    struct Exchange;
    struct AccountLookup {
        std::string spent;
        std::optional<std::string> email, rotated;
        std::shared_ptr<Exchange> exchange;  // where an answer that comes after the wait lands
    };
    // Waits accountWait at most. An answer that comes later still puts its rotated token in
    // the file, if the file then holds the spent one.
    AccountLookup emailForRefreshToken(const std::string& refreshToken);
    // Makes the looked-up account the device's: stores the token still valid (the rotated
    // one, else the one given) and starts from an empty cache, both on tokenQ, so that a
    // refresh in flight with the previous token cannot overwrite the pairing afterwards.
    // False when the file cannot be written.
    bool pair(const AccountLookup& lookup);
    // Stops reporting until the next pairing: removes the token file and forgets the cached
    // access token. Alerts already under way keep the token they had.
    void signOut();

    static std::optional<std::string> decodeJWTEmail(const std::string& jwt);
    static std::string payload(const std::string& category, SystemClock::time_point occurredAt,
                               const std::string& sourcePlatform);

    AlertReporter(const AlertConfig& config, Environment environment, std::string ingestURL,
                  std::string monitoringRpcURL, std::string tokenURL);

private:
    struct Pending;

    // On tokenQ only.
    std::optional<std::string> ensureAccessTokenLocked();
    std::optional<std::string> readRefreshToken() const;
    void writeRefreshToken(const std::string& refreshToken);
    void forgetAccessToken();
    HttpRequest tokenRequest(const std::string& refreshToken) const;
    HttpRequest backendRequest(const std::string& url, std::string body, const std::string& accessToken) const;
    void post(std::shared_ptr<const std::string> body, std::string accessToken, int64_t attempt,
              std::shared_ptr<Pending> pending);
    void noteDropped();

    const std::string ingest, monitoringRpc, token;
    const std::string anonKey, refreshTokenFile, sourcePlatform;
    const int64_t maxRetries;
    Environment environment;
    Log log{LogChannels::alerts};
    // tokenQ's alone.
    std::optional<std::string> cachedAccessToken;
    SystemClock::time_point cachedExpiry = SystemClock::time_point::min();
    bool signedOut = false;

    std::atomic<int64_t> pendingAlerts{0};
    std::atomic<int64_t> droppedSinceReport{0};
    std::atomic<int64_t> lastDropReport{INT64_MIN};  // seconds since the epoch
};

}  // namespace vesk
