#include "TamperWatch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "VeskHost/TamperChecks.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

constexpr auto tickEvery = 10s;
constexpr auto canaryWait = 3s;
constexpr auto reportEvery = 1h;
constexpr size_t whatLimit = 200;
// Bounds on what is read each tick, whatever someone puts there.
constexpr size_t resolverFileLimit = 64 * 1024;
constexpr size_t resolverFilesRead = 256;
constexpr size_t hostsFileLimit = 16 * 1024 * 1024;
constexpr size_t hostsNamesLogged = 20;

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// At most limit bytes of the file; none when it cannot be read.
std::optional<std::string> readPrefix(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[16384];
    while (text.size() < limit) {
        ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return text;
}

}  // namespace

TamperWatch::FileKey TamperWatch::keyOf(const struct stat& info) {
#ifdef __APPLE__
    const timespec& modified = info.st_mtimespec;
#else
    const timespec& modified = info.st_mtim;
#endif
    return {info.st_ino, info.st_size, modified.tv_sec * 1'000'000'000LL + modified.tv_nsec};
}

const char* TamperWatch::name(Via via) {
    switch (via) {
        case Via::dnsSettings: return "dns_settings";
        case Via::resolverFile: return "resolver_file";
        case Via::hostsFile: return "hosts_file";
        case Via::canary: return "canary";
    }
    return "unknown";
}

TamperWatch::TamperWatch(Parts watched, TaskQueue& taskQueue)
    : parts(std::move(watched)), ticker(taskQueue, parts.clock, [this] { check(); }) {}

void TamperWatch::start() { ticker.start(tickEvery, tickEvery); }

void TamperWatch::check() {
    // Asked without a queue hop: while filtering is meant to be off, a tick costs nothing.
    if (!parts.controller.snapshot()->intended) return forget();
    auto settings = parts.controller.checkSettings();
    if (!settings.intended) return forget();
    Found found;
    checkSettings(settings, found);
    checkResolverFiles(found);
    checkHostsFile(found);
    bool canaryRan = checkCanary(found);
    // Filtering turned off or on meanwhile makes what was read stale: turning it on is never
    // itself a finding.
    if (parts.controller.snapshot()->changes != settings.changes) return;
    settle(found, canaryRan);
}

// Nothing to watch; whatever is found once filtering is back on is new.
void TamperWatch::forget() {
    state = {};
    resolverFiles.clear();
    hostsKey = {};
    hostsNames.clear();
    lastLogged = {};
    canaryFailedBefore = false;
    ticksSinceSettings = 3;
    refused.clear();
    offline = false;
    parts.controller.noteTamper({});
}

void TamperWatch::checkSettings(const FilterController::SettingsCheck& settings, Found& found) {
    refusedNext.clear();
    refusalsNew.clear();
    auto now = parts.clock.wallNow();
    for (const auto& entry : settings.restores) {
        // Not the user's doing: the host will not let anyone change it. Logged at most
        // hourly while it stays so.
        if (!entry.restored) {
            auto known = refused.find(entry.service);
            if (known != refused.end() && known->second.servers == entry.servers) {
                auto& kept = refusedNext.emplace(entry.service, known->second).first->second;
                if (now - kept.logged < reportEvery) continue;
                kept.logged = now;
            } else {
                refusedNext.emplace(entry.service, Refusal{entry.servers, now});
                refusalsNew.push_back(entry.service + " (refused)");
            }
            log.info("tamper: dns settings of {} are {} and the system refuses to change them", entry.service,
                     entry.servers.empty() ? "empty" : joined(entry.servers, " "));
            continue;
        }
        // A service that first appears with no servers of its own uses the network's (a
        // dock's Ethernet, a tethered phone): put right without a word to the partner.
        if (entry.neverSeen && entry.servers.empty() && entry.restored) {
            log.info("tamper: new service {} pointed at the filter", entry.service);
            continue;
        }
        log.info("tamper: dns settings of {} were {} — restored", entry.service,
                 entry.servers.empty() ? "empty" : joined(entry.servers, " "));
        found[static_cast<size_t>(Via::dnsSettings)].push_back(entry.service);
    }
}

void TamperWatch::checkResolverFiles(Found& found) {
    std::error_code failed;
    std::filesystem::directory_iterator entries(parts.host.path("/etc/resolver"), failed);
    std::map<std::string, ResolverSeen> seen;
    for (; !failed && entries != std::filesystem::directory_iterator() && seen.size() < resolverFilesRead;
         entries.increment(failed)) {
        std::string fileName = entries->path().filename().string();
        struct stat info{};
        if (fileName.starts_with('.') || ::stat(entries->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        FileKey key = keyOf(info);
        std::string hostPath = "/etc/resolver/" + fileName;
        auto known = resolverFiles.find(hostPath);
        auto kept = seen.end();
        if (known != resolverFiles.end() && known->second.key == key) {
            kept = seen.emplace(hostPath, known->second).first;
        } else {
            ResolverSeen entry{key, std::nullopt};
            auto file = TamperChecks::parseResolverFile(fileName, readPrefix(entries->path(), resolverFileLimit).value_or(""));
            bool elsewhere = std::any_of(file.nameservers.begin(), file.nameservers.end(),
                                         [](const std::string& server) { return server != "127.0.0.1"; });
            if (elsewhere && TamperChecks::routesFilteredNames(DomainName(file.domain), parts.blocklist, routingDomains)) {
                entry.logLine = "tamper: resolver file " + hostPath + " sends " + file.domain + " to " +
                                joined(file.nameservers, " ");
                log.info("{}", *entry.logLine);
            }
            kept = seen.emplace(hostPath, std::move(entry)).first;
        }
        if (kept->second.logLine) found[static_cast<size_t>(Via::resolverFile)].push_back(hostPath);
    }
    resolverFiles = std::move(seen);
}

void TamperWatch::checkHostsFile(Found& found) {
    std::string path = parts.host.path("/etc/hosts");
    struct stat info{};
    FileKey key;
    if (::stat(path.c_str(), &info) == 0) key = keyOf(info);
    if (!(key == hostsKey)) {
        hostsKey = key;
        hostsNames = TamperChecks::refusedHostsNames(readPrefix(path, hostsFileLimit).value_or(""), policy);
        for (size_t i = 0; i < hostsNames.size() && i < hostsNamesLogged; ++i) {
            log.info("tamper: hosts file maps {}", hostsNames[i]);
        }
    }
    found[static_cast<size_t>(Via::hostsFile)] = hostsNames;
}

// The lookup goes the way every program's does; it must come to our listener and get no
// address (we answer NXDOMAIN). A lookup slower than the wait still counts once the name
// has come.
bool TamperWatch::checkCanary(Found& found) {
    if (!parts.armCanary || !parts.lookup || !parts.canaryCame) return true;
    bool wasOffline = std::exchange(offline, parts.online && !parts.online());
    if (offline != wasOffline) log.info("tamper: {}", offline ? "no network — canary paused" : "network back — canary resumed");
    if (offline) return false;
    std::string canary = parts.armCanary();
    auto started = parts.clock.now();
    auto result = parts.lookup(canary);
    bool came = parts.canaryCame(started + canaryWait);
    if (came && result.addresses.empty()) return true;
    std::string text = result.describe();
    auto& logged = lastLogged[static_cast<size_t>(Via::canary)];
    if (logged != text) log.info("tamper: canary lookup did not reach the filter ({})", text);
    logged = text;
    found[static_cast<size_t>(Via::canary)].push_back(text);
    return true;
}

void TamperWatch::settle(Found& found, bool canaryRan) {
    constexpr auto canary = static_cast<size_t>(Via::canary);
    bool canaryFailed = !found[canary].empty();
    ticksSinceSettings = found[static_cast<size_t>(Via::dnsSettings)].empty() ? std::min(ticksSinceSettings + 1, 3) : 0;
    if (canaryRan) {
        bool explained = !canaryFailedBefore || ticksSinceSettings < 3;
        canaryFailedBefore = canaryFailed;
        // Once a finding, it stays one for as long as it fails.
        if (explained && !state[canary].since) found[canary].clear();
        if (!canaryFailed) lastLogged[canary].clear();
    }
    refused = std::move(refusedNext);

    auto now = parts.clock.wallNow();
    std::vector<std::pair<Via, std::string>> due;
    TamperFindings findings;
    for (const auto& what : refusalsNew) due.emplace_back(Via::dnsSettings, what);
    for (size_t i = 0; i < kinds; ++i) {
        auto& kind = state[i];
        // An unsent canary says nothing: an open finding stays open, untold again.
        bool unsent = i == canary && !canaryRan;
        if (found[i].empty() && !unsent) {
            if (kind.since) log.info("tamper: {} no longer seen", name(static_cast<Via>(i)));
            kind = {};
            continue;
        }
        if (!kind.since && !unsent) kind.since = now;
        if (!kind.since) continue;
        findings.via.emplace_back(name(static_cast<Via>(i)));
        if (!findings.since || *kind.since < *findings.since) findings.since = kind.since;
        if (unsent) continue;
        // A clock set back waits as if the hour had just begun.
        if (kind.lastReported && now - *kind.lastReported < reportEvery) continue;
        kind.lastReported = now;
        due.emplace_back(static_cast<Via>(i), TamperChecks::truncated(joined(found[i], ", "), whatLimit));
    }
    parts.controller.noteTamper(std::move(findings));
    for (const auto& [via, what] : due) {
        log.info("tamper: FILTER_BYPASSED via {}: {}", name(via), what);
        if (parts.report) parts.report(name(via), what);
    }
}

}  // namespace vesk
