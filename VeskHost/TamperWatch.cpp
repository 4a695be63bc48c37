#include "TamperWatch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "VeskHost/TamperChecks.hpp"
#include "VeskPlatform/Text.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;

// Ticks fall uniformly between these, every millisecond alike.
constexpr auto tickGapLeast = 5s;
constexpr auto tickGapMost = 15s;
constexpr auto canaryWait = 3s;
constexpr auto reportEvery = 1h;
constexpr size_t whatLimit = 200;
// Bounds on what is read, whatever someone puts there; past them the excess is itself a
// finding. Real resolver files are a few lines, a large blocking hosts file a few MiB.
constexpr size_t resolverFileLimit = 1024 * 1024;
constexpr size_t resolverFilesRead = 4096;
constexpr off_t hostsFileLimit = 64 * 1024 * 1024;
// The system's resolver reads hosts lines into a buffer of its own: the rest of a longer
// line counts for nothing.
constexpr size_t hostsLineLimit = 64 * 1024;
constexpr size_t hostsNamesKept = 1000;
constexpr size_t hostsNamesLogged = 20;

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

// Hands the file's lines to take, a block of whole lines at a time, in memory that stays
// small however large the file is; no more than limit bytes are read.
void readLines(const std::string& path, size_t limit, const std::function<void(std::string_view lines)>& take) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    std::string pending;
    size_t lineLength = 0, total = 0;
    char buffer[65536];
    while (total < limit) {
        ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - total));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<size_t>(got);
        for (std::string_view chunk(buffer, static_cast<size_t>(got)); !chunk.empty();) {
            size_t end = chunk.find('\n');
            auto kept = chunk.substr(0, std::min(end, hostsLineLimit - lineLength));
            pending.append(kept);
            lineLength += kept.size();
            if (end == std::string_view::npos) break;
            pending += '\n';
            lineLength = 0;
            chunk.remove_prefix(end + 1);
        }
        if (pending.size() >= sizeof buffer) {
            // The last line may be unfinished: it waits for the next block.
            size_t whole = pending.rfind('\n') + 1;
            take(std::string_view(pending).substr(0, whole));
            pending.erase(0, whole);
        }
    }
    ::close(fd);
    take(pending);
}
}  // namespace

TamperWatch::FileKey TamperWatch::keyOf(const struct stat& info) {
#ifdef __APPLE__
    const timespec& modified = info.st_mtimespec;
#else
    const timespec& modified = info.st_mtim;
#endif
    // The change time too, which no one can set back: an edit in place with the
    // modification time put back still shows.
#ifdef __APPLE__
    const timespec& changed = info.st_ctimespec;
#else
    const timespec& changed = info.st_ctim;
#endif
    return {info.st_ino, info.st_size, modified.tv_sec * 1'000'000'000LL + modified.tv_nsec,
            changed.tv_sec * 1'000'000'000LL + changed.tv_nsec};
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

void TamperWatch::start() {
    ticker.startJittered([this] {
        auto spread = std::chrono::duration_cast<std::chrono::milliseconds>(tickGapMost - tickGapLeast).count() + 1;
        return std::chrono::duration_cast<Clock::Monotonic::duration>(
                   tickGapLeast + std::chrono::milliseconds(parts.random() % static_cast<uint64_t>(spread))) /
               parts.speedup;
    });
}

void TamperWatch::check() {
    // Asked without a queue hop: while filtering is meant to be off, a tick costs nothing.
    auto before = parts.controller.snapshot();
    if (!before->intended) return forget();
    takeNewBlocklist();
    Found found;
    bool intended = true, canaryRan = true;
    std::array<std::function<void()>, 4> sources{
        [&] {
            auto settings = parts.controller.checkSettings();
            intended = settings.intended;
            if (intended) checkSettings(settings, found);
        },
        [&] { checkResolverFiles(found); },
        [&] { checkHostsFile(found); },
        [&] { canaryRan = checkCanary(found); },
    };
    for (size_t i = sources.size() - 1; i > 0; --i) std::swap(sources[i], sources[parts.random() % (i + 1)]);
    for (const auto& source : sources) {
        if (intended) source();
    }
    if (!intended) return forget();
    // Filtering turned off or on meanwhile makes what was read stale: turning it on is never
    // itself a finding.
    if (parts.controller.snapshot()->changes != before->changes) return;
    settle(found, canaryRan);
}

// Nothing to watch; whatever is found once filtering is back on is new.
void TamperWatch::forget() {
    state = {};
    resolverFiles.clear();
    hostsKey = {};
    hostsNames.clear();
    hostsTooLarge = false;
    lastLogged = {};
    canaryFailedBefore = false;
    ticksSinceSettings = 3;
    refused.clear();
    offline = false;
    parts.controller.noteTamper({});
}

// A resolver file or hosts line that sent nothing of ours away may, by a new list.
void TamperWatch::takeNewBlocklist() {
    if (!blocklist.refresh()) return;
    policy.use(blocklist.list());
    resolverFiles.clear();
    routingDomains.clear();
    hostsKey = {};
    hostsNames.clear();
    hostsTooLarge = false;
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
                     entry.servers.empty() ? "empty" : joinWith(entry.servers, " "));
            continue;
        }
        // A service that first appears with no servers of its own uses the network's (a
        // dock's Ethernet, a tethered phone): put right without a word to the partner.
        if (entry.neverSeen && entry.servers.empty() && entry.restored) {
            log.info("tamper: new service {} pointed at the filter", entry.service);
            continue;
        }
        log.info("tamper: dns settings of {} were {} — restored", entry.service,
                 entry.servers.empty() ? "empty" : joinWith(entry.servers, " "));
        found[static_cast<size_t>(Via::dnsSettings)].push_back(entry.service);
    }
}

void TamperWatch::checkResolverFiles(Found& found) {
    auto& reported = found[static_cast<size_t>(Via::resolverFile)];
    std::error_code failed;
    std::filesystem::directory_iterator entries(parts.host.path("/etc/resolver"), failed);
    std::map<std::string, ResolverSeen> seen;
    // Every regular file counts, a dot-file too: the system's resolver reads them all.
    size_t files = 0;
    for (; !failed && entries != std::filesystem::directory_iterator(); entries.increment(failed)) {
        std::string fileName = entries->path().filename().string();
        struct stat info{};
        if (::stat(entries->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (++files > resolverFilesRead) {
            reported.push_back("/etc/resolver (more than " + std::to_string(resolverFilesRead) + " files)");
            break;
        }
        FileKey key = keyOf(info);
        std::string hostPath = "/etc/resolver/" + fileName;
        auto known = resolverFiles.find(hostPath);
        auto kept = seen.end();
        if (known != resolverFiles.end() && known->second.key == key) {
            kept = seen.emplace(hostPath, known->second).first;
        } else {
            kept = seen.emplace(hostPath, readResolverFile(hostPath, entries->path().string(), info, key)).first;
            if (kept->second.logLine) log.info("{}", *kept->second.logLine);
        }
        if (kept->second.logLine) reported.push_back(kept->second.what);
    }
    resolverFiles = std::move(seen);
}

// A file that sends a domain covering filtered names anywhere but to this listener, our
// address on our port, routes them around the filter; 127.0.0.1 on another port is another
// resolver like any other.
TamperWatch::ResolverSeen TamperWatch::readResolverFile(const std::string& hostPath, const std::string& path,
                                                       const struct stat& info, FileKey key) {
    if (info.st_size > static_cast<off_t>(resolverFileLimit)) {
        return {key, "tamper: resolver file " + hostPath + " is too large to read (" + std::to_string(info.st_size) +
                         " bytes)", hostPath + " (too large)"};
    }
    auto file = TamperChecks::parseResolverFile(std::filesystem::path(path).filename().string(),
                                                readPrefix(path, resolverFileLimit).value_or(""));
    bool elsewhere = file.port != parts.listenPort ||
                     std::any_of(file.nameservers.begin(), file.nameservers.end(),
                                 [this](const std::string& server) { return server != parts.listenHost; });
    if (file.nameservers.empty() || !elsewhere ||
        !TamperChecks::routesFilteredNames(DomainName(file.domain), blocklist.list(), routingDomains)) {
        return {key, std::nullopt, hostPath};
    }
    std::string port = file.port == 53 ? "" : " port " + std::to_string(file.port);
    return {key, "tamper: resolver file " + hostPath + " sends " + file.domain + " to " + joinWith(file.nameservers, " ") + port,
            hostPath};
}

void TamperWatch::checkHostsFile(Found& found) {
    std::string path = parts.host.path("/etc/hosts");
    struct stat info{};
    FileKey key;
    if (::stat(path.c_str(), &info) == 0) key = keyOf(info);
    if (!(key == hostsKey)) {
        hostsKey = key;
        hostsNames.clear();
        hostsTooLarge = key.size > hostsFileLimit;
        if (hostsTooLarge) {
            log.info("tamper: hosts file is too large to read ({} bytes)", key.size);
        } else {
            readLines(path, static_cast<size_t>(hostsFileLimit), [this](std::string_view lines) {
                for (auto& name : TamperChecks::refusedHostsNames(lines, policy)) {
                    if (hostsNames.size() < hostsNamesLogged) log.info("tamper: hosts file maps {}", name);
                    if (hostsNames.size() < hostsNamesKept) hostsNames.push_back(std::move(name));
                }
            });
        }
    }
    found[static_cast<size_t>(Via::hostsFile)] = hostsNames;
    if (hostsTooLarge) found[static_cast<size_t>(Via::hostsFile)].push_back("/etc/hosts (too large)");
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
        due.emplace_back(static_cast<Via>(i), TamperChecks::truncated(joinWith(found[i], ", "), whatLimit));
    }
    parts.controller.noteTamper(std::move(findings));
    for (const auto& [via, what] : due) {
        log.info("tamper: FILTER_BYPASSED via {}: {}", name(via), what);
        if (parts.report) parts.report(name(via), what);
    }
}

}  // namespace vesk
