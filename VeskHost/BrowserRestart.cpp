#include "BrowserRestart.hpp"

#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr auto debounceWindow = 20s;
constexpr auto quitWait = 4s;

}  // namespace

const std::vector<BrowserRestart::Browser>& BrowserRestart::browsers() {
    static const std::vector<Browser> table{
        {"Google Chrome", "Google Chrome",
         {"Library/Caches/Google/Chrome", "Library/Application Support/Google/Chrome/Default/Cache",
          "Library/Application Support/Google/Chrome/Default/Code Cache"}},
        {"Safari", "Safari",
         {"Library/Containers/com.apple.Safari/Data/Library/Caches", "Library/Caches/com.apple.Safari"}},
        {"firefox", "Firefox", {"Library/Caches/Firefox"}},
        {"Brave Browser", "Brave Browser",
         {"Library/Caches/BraveSoftware/Brave-Browser",
          "Library/Application Support/BraveSoftware/Brave-Browser/Default/Cache"}},
        {"Microsoft Edge", "Microsoft Edge",
         {"Library/Caches/Microsoft Edge", "Library/Application Support/Microsoft Edge/Default/Cache"}},
        {"Opera", "Opera", {"Library/Caches/com.operasoftware.Opera"}},
        {"Vivaldi", "Vivaldi", {"Library/Caches/Vivaldi", "Library/Application Support/Vivaldi/Default/Cache"}},
        {"Arc", "Arc", {"Library/Caches/company.thebrowser.Browser"}},
    };
    return table;
}

void BrowserRestart::restartRunningAsync() {
    pool.submit([this] { restartRunning(); });
}

// The time is taken before any browser is touched, so a restart that finds none counts.
bool BrowserRestart::debounced() {
    auto now = parts.clock.now();
    std::lock_guard lock(debounceLock);
    if (lastRestartAt && now < *lastRestartAt + debounceWindow) return true;
    lastRestartAt = now;
    return false;
}

void BrowserRestart::restartRunning() {
    auto uid = parts.console.find();
    if (!uid) {
        log.info("no console user — skipping browser restart");
        return;
    }
    if (debounced()) {
        log.info("browser restart debounced (within {:.0f}s)",
                 std::chrono::duration<double>(debounceWindow).count());
        return;
    }
    parts.relay.dropPrivateRelayTunnel();
    auto user = parts.console.account(*uid);

    std::vector<const Browser*> stopped;
    for (const auto& browser : browsers()) {
        // Status 0: at least one process of that exact name was there.
        if (run("/usr/bin/killall", {"-TERM", browser.proc}) == 0) stopped.push_back(&browser);
    }
    if (stopped.empty()) return;
    std::string names;
    for (const auto* browser : stopped) names += (names.empty() ? "" : ", ") + browser->app;
    log.info("restarting browsers: {}", names);

    auto running = [&](const Browser* browser) { return run("/usr/bin/pgrep", {"-x", browser->proc}) == 0; };
    for (auto deadline = parts.clock.now() + quitWait; parts.clock.now() < deadline;) {
        if (std::none_of(stopped.begin(), stopped.end(), running)) break;
        parts.clock.sleepFor(250ms);
    }
    for (const auto* browser : stopped) {
        if (running(browser)) run("/usr/bin/killall", {"-KILL", browser->proc});
    }
    parts.clock.sleepFor(600ms);
    if (user) {
        for (const auto* browser : stopped) purgeCaches(browser->caches, user->home);
    }
    parts.systemDNS.flushDNSCache();
    for (const auto* browser : stopped) {
        if (auto command = parts.console.inSession(*uid, "/usr/bin/open", {"-a", browser->app})) {
            run("/bin/launchctl", *command);
        }
    }
}

// Only what lies inside the user's Library is ever deleted, and the walk there follows no
// link the user may have planted.
void BrowserRestart::purgeCaches(const std::vector<std::string>& caches, const std::string& home) {
    std::string base = home;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string guard = base + "/Library/";
    for (const auto& cache : caches) {
        if (cache.starts_with("/") || !(base + "/" + cache).starts_with(guard)) continue;
        Files::removeBeneath(parts.root.path(base), cache);
    }
}

}  // namespace vesk
