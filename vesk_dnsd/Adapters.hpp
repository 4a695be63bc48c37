#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "VeskAlerts/AlertReporter.hpp"
#include "VeskControl/ControlRoutes.hpp"
#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/FilterIntent.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/TamperWatch.hpp"
#include "VeskHost/Uninstaller.hpp"

namespace vesk {

// The host units as the control API sees them. Turning filtering on or off (the routes
// guard turning it off with the PIN) changes the intended state first.
class HostActions final : public FilterHost {
public:
    struct Parts {
        SystemDNS& systemDNS;
        BrowserRestart& browserRestart;
        PrivateRelay& relay;
        Uninstaller& uninstaller;
        FilterIntent& intent;
        const TamperWatch& tamperWatch;
    };
    explicit HostActions(Parts host) : parts(host) {}

    void enable() override {
        FilterIntent::Change change(parts.intent, true);
        parts.systemDNS.enable();
    }
    void disable() override {
        FilterIntent::Change change(parts.intent, false);
        parts.systemDNS.disable();
    }
    bool isEnabled() override { return parts.systemDNS.isEnabled(); }
    void restartBrowsers() override { parts.browserRestart.restartRunningAsync(); }
    bool safariPrivacyProxyActive(Clock::Wall::time_point now) override {
        return parts.relay.safariPrivacyProxyActive(now);
    }
    TamperStatus tamperStatus() override {
        auto status = parts.tamperWatch.status();
        return {status.since, std::move(status.via)};
    }
    bool intendedOn() override { return parts.intent.on(); }
    void uninstall() override {
        FilterIntent::Change change(parts.intent, false);
        parts.uninstaller.performAndExit();
    }

private:
    Parts parts;
};

// The alert reporter as the control API sees it.
class AlertEvents final : public EventReporter {
public:
    explicit AlertEvents(AlertReporter& alertReporter) : reporter(alertReporter) {}

    void reportMonitoringEvent(const std::string& event) override {
        reporter.reportMonitoringEvent(event, nlohmann::json::object());
    }
    void reportMonitoringEventSync(const std::string& event, const nlohmann::json& detail,
                                   std::chrono::duration<double> timeout) override {
        reporter.reportMonitoringEventSync(event, timeout, detail);
    }
    AccountLookup lookUpAccount(const std::string& refreshToken) override {
        auto found = reporter.emailForRefreshToken(refreshToken);
        auto email = found.email;
        return {std::move(email), [this, found = std::move(found)] { return reporter.pair(found); }};
    }
    void signOut() override { reporter.signOut(); }

private:
    AlertReporter& reporter;
};

// How the tamper watch tells the partner of a way around the filter.
inline std::function<void(const std::string&, const std::string&)> tamperReporter(AlertReporter& reporter) {
    return [&reporter](const std::string& via, const std::string& what) {
        reporter.reportMonitoringEvent("FILTER_BYPASSED", {{"via", via}, {"what", what}});
    };
}

// How the privacy proxy monitor tells the partner of a relay that stays on.
inline std::function<void(int64_t minutes)> bypassReporter(AlertReporter& reporter) {
    return [&reporter](int64_t minutes) { reporter.reportMonitoringEvent("FILTER_BYPASSED", {{"minutes", minutes}}); };
}

}  // namespace vesk
