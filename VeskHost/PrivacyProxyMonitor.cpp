#include "PrivacyProxyMonitor.hpp"

#include <algorithm>
#include <utility>

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr const char* notificationTitle = "Safari isn’t protected";
constexpr const char* notificationBody =
    "iCloud Private Relay is on and is bypassing the content filter in Safari. "
    "Turn it off in System Settings to stay protected.";

std::string withoutDoubleQuotes(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    return text;
}

}  // namespace

PrivacyProxyMonitor::PrivacyProxyMonitor(Parts host, std::chrono::duration<double> grace,
                                         std::chrono::duration<double> repeatEvery, TaskQueue& taskQueue)
    : parts(std::move(host)),
      gracePeriod(grace),
      repeatPeriod(repeatEvery),
      ticker(taskQueue, parts.clock, [this] { check(); }) {}

void PrivacyProxyMonitor::start(std::chrono::duration<double> interval, std::chrono::duration<double> first) {
    ticker.start(first, interval);
}

void PrivacyProxyMonitor::check() {
    if (!parts.filteringEnabled()) {
        // With the filter off there is nothing to bypass, and no reason to run the probe.
        current = {};
        return;
    }
    bool active = parts.relayActive(parts.clock.wallNow());
    // The probe may take a while; the decision is timed from its answer.
    auto now = parts.clock.wallNow();
    auto action = decide(active, now, current, gracePeriod, repeatPeriod);
    switch (action.kind) {
    case Action::Kind::none:
        break;
    case Action::Kind::notifyUser:
        log.info("privacy proxy ACTIVE — Safari bypassing filter; alarming user");
        notifyUser(notificationTitle, notificationBody);
        break;
    case Action::Kind::escalate:
        log.info("privacy proxy still active after grace ({}m) — escalating to pack/spouse", action.minutes);
        if (parts.reportBypass) parts.reportBypass(action.minutes);
        break;
    }
}

PrivacyProxyMonitor::Action PrivacyProxyMonitor::decide(bool active, Clock::Wall::time_point now, State& state,
                                                        std::chrono::duration<double> grace,
                                                        std::chrono::duration<double> repeatEvery) {
    if (!active) {
        state = {};
        return Action::none();
    }
    if (!state.activeSince) {
        state.activeSince = now;
        return Action::notifyUser();
    }
    // A clock set back makes elapsed negative, which waits like a fresh grace period.
    std::chrono::duration<double> elapsed = now - *state.activeSince;
    if (elapsed < grace) return Action::none();
    if (state.lastEscalatedAt && std::chrono::duration<double>(now - *state.lastEscalatedAt) < repeatEvery) {
        return Action::none();
    }
    state.lastEscalatedAt = now;
    // With a short grace the first escalation still reports a whole minute.
    return Action::escalate(std::max<int64_t>(static_cast<int64_t>(elapsed.count() / 60.0), 1));
}

std::string PrivacyProxyMonitor::notificationScript(const std::string& title, const std::string& body) {
    return "display notification \"" + withoutDoubleQuotes(body) + "\" with title \"" + withoutDoubleQuotes(title) +
           "\" sound name \"Sosumi\"";
}

// Nobody at the console (or the login window) means nobody to tell. A launch that fails
// is not retried: the episode has had its warning either way.
void PrivacyProxyMonitor::notifyUser(const std::string& title, const std::string& body) {
    auto uid = parts.console.find();
    if (!uid) return;
    // The notification has to be posted in the user's session, by the user.
    if (auto command = parts.console.inSession(*uid, "/usr/bin/osascript", {"-e", notificationScript(title, body)})) {
        parts.tools.startDetached("/bin/launchctl", *command);
    }
}

}  // namespace vesk
