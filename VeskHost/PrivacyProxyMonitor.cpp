#include "PrivacyProxyMonitor.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr auto firstTickDelay = 10s;

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
    : parts(std::move(host)), gracePeriod(grace), repeatPeriod(repeatEvery), queue(taskQueue) {}

void PrivacyProxyMonitor::start(std::chrono::duration<double> interval) {
    period = std::chrono::duration_cast<Clock::Monotonic::duration>(interval);
    // A zero period would have the schedule divide by zero.
    if (period <= Clock::Monotonic::duration::zero()) throw std::invalid_argument("monitor interval must be positive");
    firstDue = parts.clock.now() + firstTickDelay;
    queue.asyncAfter(firstTickDelay, [this] { tick(); });
}

void PrivacyProxyMonitor::tick() {
    // The next tick is scheduled whatever this one throws; the queue logs the exception.
    try {
        check();
    } catch (...) {
        scheduleNext();
        throw;
    }
    scheduleNext();
}

// Counted from the tick's end, so a tick that overran several periods gets one successor,
// kept on the grid of the first due time.
void PrivacyProxyMonitor::scheduleNext() {
    auto end = parts.clock.now();
    auto since = std::max(end - firstDue, Clock::Monotonic::duration::zero());
    auto next = firstDue + (since / period + 1) * period;
    queue.asyncAfter(next - end, [this] { tick(); });
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
    // The notification has to be posted in the user's session, not root's.
    parts.tools.startDetached("/bin/launchctl", {"asuser", std::to_string(*uid), "/usr/bin/osascript", "-e",
                                                 notificationScript(title, body)});
}

}  // namespace vesk
