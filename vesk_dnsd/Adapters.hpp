#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "VeskAlerts/AlertReporter.hpp"
#include "VeskControl/ControlRoutes.hpp"
#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/Uninstaller.hpp"

namespace vesk {

// The host units as the control API sees them.
class HostActions final : public FilterHost {
public:
    HostActions(SystemDNS& dns, BrowserRestart& restart, PrivateRelay& privateRelay, Uninstaller& remover)
        : systemDNS(dns), browserRestart(restart), relay(privateRelay), uninstaller(remover) {}

    void enable() override { systemDNS.enable(); }
    void disable() override { systemDNS.disable(); }
    bool isEnabled() override { return systemDNS.isEnabled(); }
    void restartBrowsers() override { browserRestart.restartRunningAsync(); }
    bool safariPrivacyProxyActive(Clock::Wall::time_point now) override { return relay.safariPrivacyProxyActive(now); }
    void uninstall() override { uninstaller.performAndExit(); }

private:
    SystemDNS& systemDNS;
    BrowserRestart& browserRestart;
    PrivateRelay& relay;
    Uninstaller& uninstaller;
};

// The alert reporter as the control API sees it.
class AlertEvents final : public EventReporter {
public:
    explicit AlertEvents(AlertReporter& alertReporter) : reporter(alertReporter) {}

    void reportMonitoringEvent(const std::string& event) override {
        reporter.reportMonitoringEvent(event, nlohmann::json::object());
    }
    void reportMonitoringEventSync(const std::string& event, std::chrono::duration<double> timeout) override {
        reporter.reportMonitoringEventSync(event, timeout);
    }
    std::optional<std::string> emailForRefreshToken(const std::string& refreshToken) override {
        return reporter.emailForRefreshToken(refreshToken);
    }

private:
    AlertReporter& reporter;
};

// How the privacy proxy monitor tells the partner of a relay that stays on.
inline std::function<void(int64_t minutes)> bypassReporter(AlertReporter& reporter) {
    return [&reporter](int64_t minutes) { reporter.reportMonitoringEvent("FILTER_BYPASSED", {{"minutes", minutes}}); };
}

}  // namespace vesk
