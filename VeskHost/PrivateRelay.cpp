#include "PrivateRelay.hpp"

#include <algorithm>
#include <cctype>

#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr const char* launchctl = "/bin/launchctl";
constexpr const char* agentLabel = "com.apple.networkserviceproxy";
constexpr const char* agentPreferences = "Library/Preferences/com.apple.networkserviceproxy.plist";
constexpr const char* agentJob = "/System/Library/LaunchAgents/com.apple.networkserviceproxy.plist";

}  // namespace

bool PrivateRelay::parsePrivacyProxyActive(const std::string& text) {
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    std::string value;
    for (auto it = begin; it < end; ++it) {
        value += static_cast<char>(std::tolower(static_cast<unsigned char>(*it)));
    }
    return value == "1" || value == "true";
}

bool PrivateRelay::safariPrivacyProxyActive(Clock::Wall::time_point now) {
    {
        // A cached time later than now counts as fresh too.
        std::lock_guard lock(proxyCacheLock);
        if (proxyCache && now < proxyCache->at + 15s) return proxyCache->value;
    }
    bool active = false;
    if (auto uid = console.find()) {
        // A missing preference prints nothing on standard output, so it reads as false
        // whatever the status.
        auto answer = tools.capture(launchctl,
                                    {"asuser", std::to_string(*uid), "/usr/bin/defaults", "read",
                                     "com.apple.Safari",
                                     "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"},
                                    ToolRunner::Capture::outputOnly);
        if (answer.code != -1) active = parsePrivacyProxyActive(answer.out);
    }
    std::lock_guard lock(proxyCacheLock);
    proxyCache = Probe{active, now};
    return active;
}

void PrivateRelay::dropPrivateRelayTunnel() {
    auto uid = console.find();
    if (!uid) return;
    std::string domain = "gui/" + std::to_string(*uid);
    std::string target = domain + "/" + agentLabel;
    tools.run(launchctl, {"bootout", target});
    clock.sleepFor(500ms);
    if (auto home = console.home(*uid)) Files::removeBeneath(root.path(*home), agentPreferences);
    clock.sleepFor(300ms);
    // A kickstart fails when the bootout left the agent unloaded: load it from its job
    // definition instead.
    if (tools.run(launchctl, {"kickstart", "-k", target}) != 0) {
        tools.run(launchctl, {"bootstrap", domain, agentJob});
    }
    log.info("wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress");
}

}  // namespace vesk
