#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "VeskAlerts/AlertReporter.hpp"
#include "VeskControl/ControlRoutes.hpp"
#include "VeskDNSCore/ForwardRouter.hpp"
#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/FilterController.hpp"
#include "VeskHost/PrivateRelay.hpp"

namespace vesk {

// The host units as the control API sees them.
class HostActions final : public FilterHost {
public:
    struct Parts {
        FilterController& controller;
        BrowserRestart& browserRestart;
        PrivateRelay& relay;
    };
    explicit HostActions(Parts host) : parts(host) {}

    FilterView view() override {
        auto snapshot = parts.controller.snapshot();
        return {snapshot->pointed, snapshot->intended, snapshot->allPointed, {snapshot->tamper.since, snapshot->tamper.via}};
    }
    void enable() override { parts.controller.enable(); }
    bool disable() override { return parts.controller.disable().before->pointed; }
    void restartBrowsers() override { parts.browserRestart.restartRunningAsync(); }
    bool safariPrivacyProxyActive(Clock::Wall::time_point now) override {
        return parts.relay.safariPrivacyProxyActive(now);
    }
    void uninstall(const std::function<void()>& tellPartner) override { parts.controller.uninstall(tellPartner); }

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

// What GET /network shows of where forwarded queries go.
inline nlohmann::json networkJson(const ForwardRouter::View& view) {
    nlohmann::json resolvers = nlohmann::json::array();
    for (const auto& resolver : view.network.resolvers) resolvers.push_back(resolver.name);
    return {{"mode", view.fallback ? "fallback" : "public"},
            {"since", view.since ? nlohmann::json(Clock::isoTime(*view.since)) : nlohmann::json()},
            {"networkResolvers", std::move(resolvers)},
            {"searchDomains", view.network.searchDomains}};
}

}  // namespace vesk
