#include "PrivateRelay.hpp"

#include <algorithm>
#include <cctype>

#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Utf8.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr const char* launchctl = "/bin/launchctl";
constexpr const char* agentLabel = "com.apple.networkserviceproxy";
constexpr const char* agentPreferences = "Library/Preferences/com.apple.networkserviceproxy.plist";
constexpr const char* agentJob = "/System/Library/LaunchAgents/com.apple.networkserviceproxy.plist";
// launchctl's status for a system service it will not touch while the system's integrity
// protection is on.
constexpr int protectedBySystem = 150;

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
    auto uid = console.find();
    auto command = uid ? console.inSession(*uid, "/usr/bin/defaults",
                                           {"read", "com.apple.Safari", "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork"})
                       : std::nullopt;
    if (command) {
        // A missing preference prints nothing on standard output, so it reads as false
        // whatever the status.
        auto answer = tools.capture(launchctl, *command, ToolRunner::Capture::outputOnly);
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
    bool refused = false;
    auto step = [&](const ToolRunner::Args& args) {
        auto result = tools.capture(launchctl, args, ToolRunner::Capture::outputAndErrors);
        if (result.code == protectedBySystem) {
            refused = true;
        } else if (result.code != 0) {
            std::string words;
            for (const auto& arg : args) words += " " + arg;
            log.info("relay reset: launchctl{} failed (status {}): {}", words, result.code, Utf8::trimmed(result.out));
        }
        return result.code;
    };
    step({"bootout", target});
    clock.sleepFor(500ms);
    if (auto user = console.account(*uid)) Files::removeBeneath(root.path(user->home), agentPreferences);
    clock.sleepFor(300ms);
    // A kickstart fails when the bootout left the agent unloaded: load it from its job
    // definition instead. One the system refused to touch is still loaded.
    int kicked = step({"kickstart", "-k", target});
    bool restarted = kicked == 0 || (kicked != protectedBySystem && step({"bootstrap", domain, agentJob}) == 0);
    if (restarted) {
        log.info("wiped + cold-restarted networkserviceproxy — relay can't re-fetch ingress");
    } else if (refused) {
        // It stays so until the protection is turned off, which takes a restart of the Mac.
        if (!refusalLogged.exchange(true)) log.info("relay agent cannot be restarted: protected by the system");
    } else {
        log.info("relay agent was not restarted");
    }
}

}  // namespace vesk
