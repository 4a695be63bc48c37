#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "VeskControl/ControlHttp.hpp"
#include "VeskControl/PinStore.hpp"
#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

namespace LogChannels {
inline constexpr LogChannel control{daemon, "control"};
}  // namespace LogChannels

// The ways around the filter still seen: since when, and how ("dns_settings", ...).
struct TamperStatus {
    std::optional<Clock::Wall::time_point> since;
    std::vector<std::string> via;
};

// What the control API shows of the filter.
struct FilterView {
    bool enabled = false;     // some enabled network service points at the filter
    bool intended = false;    // meant to be on
    bool allPointed = false;  // every enabled service points at the filter alone
    TamperStatus tamper;
};

// The host as the control API acts on it.
class FilterHost {
public:
    virtual ~FilterHost() = default;
    // At once, without asking the host.
    virtual FilterView view() = 0;
    // Points the host's DNS at the filter, or away from it; both return once done, disable
    // with whether the filter was on before.
    virtual void enable() = 0;
    virtual bool disable() = 0;
    // Returns at once; the restart runs in the background.
    virtual void restartBrowsers() = 0;
    virtual bool safariPrivacyProxyActive(Clock::Wall::time_point now) = 0;
    // Turns filtering off for good and removes the product; tellPartner runs first when
    // filtering was meant to be on. Returns before the process ends.
    virtual void uninstall(const std::function<void()>& tellPartner) = 0;
};

// A refresh token's account, and how to make it the device's.
struct AccountLookup {
    std::optional<std::string> email;  // none: it could not be learned
    // Stores the token to keep (learning the account may have spent the one given); false
    // when it cannot be written.
    std::function<bool()> store;
};

// The backend as the control API reports to it.
class EventReporter {
public:
    virtual ~EventReporter() = default;
    // Returns at once; delivered in the background.
    virtual void reportMonitoringEvent(const std::string& event) = 0;
    // Returns once delivered or after timeout.
    virtual void reportMonitoringEventSync(const std::string& event, const nlohmann::json& detail,
                                           std::chrono::duration<double> timeout) = 0;
    // Waits for the backend's answer, about 10 seconds at most.
    virtual AccountLookup lookUpAccount(const std::string& refreshToken) = 0;
    // Removes the token file and reports nothing more until the next pairing.
    virtual void signOut() = 0;
};

// What each control request does: two guards, then one of twelve endpoints chosen by exact
// method and path. Routes run in parallel with each other and may block (tools, the
// backend, the PIN store's lock); their only state of their own is whether a pairing runs.
class ControlRoutes {
public:
    struct Parts {
        PinStore& pin;
        std::string tokenFile;       // its presence means the device is paired
        FilterHost& host;
        EventReporter* reporter;     // none: reporting is off
        const BlockEventLog* blockLog;
        Clock& clock;
        // Whether the directories of the PIN and token files can be trusted; none: always.
        std::function<bool()> stateTrusted = nullptr;
        // What GET /blocklist shows of the lists, and GET /network of where forwarded
        // queries go; none: the route is not there.
        std::function<nlohmann::json()> blocklist = nullptr;
        std::function<nlohmann::json()> network = nullptr;
    };
    explicit ControlRoutes(Parts parts);

    std::string route(const ControlRequest& request);
    // GET /status, which the server answers on a lane of its own.
    static bool isStatus(const ControlRequest& request) { return request.method == "GET" && request.path == "/status"; }

    // The file's text trimmed, or none when it is missing, unreadable, not UTF-8 or blank.
    static std::optional<std::string> readFile(const std::string& path);
    // Replaces the file whole with text (mode 0600, directories created 0700).
    static bool writeFile(const std::string& text, const std::string& path);

private:
    std::string endpoint(const ControlRequest& request);
    // The PIN gate: none when the body's PIN matched, else the refusal to send.
    std::optional<std::string> refusedPin(const nlohmann::json& body, bool allowUnset = false);
    bool paired() const { return readFile(parts.tokenFile).has_value(); }
    bool stateTrusted() const { return !parts.stateTrusted || parts.stateTrusted(); }
    std::string emailFile() const { return parts.tokenFile + ".email"; }

    std::string status();
    std::string events();
    std::string enable();
    std::string disable();
    std::string signOut();
    std::string setPin(const nlohmann::json& body);
    std::string pairStatus();
    std::string pair(const nlohmann::json& body);
    std::string uninstall();

    Parts parts;
    Log log{LogChannels::control};
    // One pairing at a time: each may wait on the backend for seconds, and a client
    // looping on it must not take every thread of the pool.
    std::atomic<bool> pairing{false};
};

}  // namespace vesk
