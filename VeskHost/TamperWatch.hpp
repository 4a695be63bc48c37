#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "VeskDNSCore/LiveBlocklist.hpp"
#include "VeskDNSCore/QueryPolicy.hpp"
#include "VeskHost/FilterController.hpp"
#include "VeskHost/SystemLookup.hpp"
#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/Ticker.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// While filtering is meant to be on, notices the ways lookups are routed around the
// filter without touching it, at random gaps and in a random order each time: a network service's DNS servers pointed elsewhere (put back
// at once), a per-domain resolver file, hosts-file lines for refused names, and lookups
// that never reach the filter at all (an encrypted resolver a profile installed), found by
// a canary lookup through the system's resolver. Each kind of finding is told to the
// partner once, then at most once an hour while it lasts; one that clears and comes back
// is new. A service whose settings the host refuses to change (some VPNs) is told once
// while its settings stay the same. Files are only ever read.
class TamperWatch {
public:
    enum class Via { dnsSettings, resolverFile, hostsFile, canary };
    static constexpr size_t kinds = 4;
    static const char* name(Via via);

    struct Parts {
        // Looks at the settings and puts them back; told what the watch still sees.
        FilterController& controller;
        const LiveBlocklist& blocklist;
        const HostRoot& host;
        // The canary: a fresh name under the domain the DNS listener watches for, the
        // lookup through the system, and a wait until the name came or the deadline.
        std::function<std::string()> armCanary;
        std::function<SystemLookup::Result(const std::string& name)> lookup;
        std::function<bool(Clock::Monotonic::time_point deadline)> canaryCame;
        // Whether the host has a network at all: without one (a closed lid, Wi-Fi off) it
        // sends no lookup anywhere, and the canary is not sent.
        std::function<bool()> online;
        // Tells the partner: the kind's name and what was found. Empty: nobody to tell.
        std::function<void(const std::string& via, const std::string& what)> report;
        Clock& clock;  // wall time for the hourly rule and the status, monotonic for waits
        // Draws the gaps between looks and the order of each look's sources, so that no one
        // can time a change around them. Called on the watch's queue only.
        std::function<uint64_t()> random;
        // Where the DNS listener is: a resolver file that sends a domain there sends it to us.
        std::string listenHost = "127.0.0.1";
        uint16_t listenPort = 53;
        // The gaps are divided by it: more than 1 only on the simulated host, for tests.
        int speedup = 1;
    };
    TamperWatch(Parts watched, TaskQueue& taskQueue);
    TamperWatch(const TamperWatch&) = delete;
    TamperWatch& operator=(const TamperWatch&) = delete;

    // Ticks 5 to 15 s apart (10 s on average), the first as far from now. Call once.
    void start();
    // One tick, as the queue runs it; for tests.
    void check();

private:
    struct Kind {
        std::optional<Clock::Wall::time_point> since;  // present since; none: absent
        std::optional<Clock::Wall::time_point> lastReported;
    };
    // What one file said when it was last read, kept while it is unchanged.
    struct FileKey {
        ino_t inode = 0;
        off_t size = -1;
        int64_t modified = 0;
        int64_t changed = 0;
        bool operator==(const FileKey&) const = default;
    };
    static FileKey keyOf(const struct stat& info);
    struct ResolverSeen {
        FileKey key;
        std::optional<std::string> logLine;  // none: the file routes nothing of ours away
        std::string what;                    // as the partner is told
    };
    using Found = std::array<std::vector<std::string>, kinds>;

    void checkSettings(const FilterController::SettingsCheck& settings, Found& found);
    void checkResolverFiles(Found& found);
    ResolverSeen readResolverFile(const std::string& hostPath, const std::string& path, const struct stat& info,
                                  FileKey key);
    void checkHostsFile(Found& found);
    // False when it could not be sent (no network): what it found before stands.
    bool checkCanary(Found& found);
    void settle(Found& found, bool canaryRan);
    void forget();

    void takeNewBlocklist();

    Parts parts;
    // The list the files were judged by, and what the filter refuses by it; on the queue.
    LiveBlocklist::Reader blocklist{parts.blocklist};
    QueryPolicy policy{blocklist.list()};
    Log log{LogChannels::tamper};
    // Read and written on the queue only.
    std::map<std::string, ResolverSeen> resolverFiles;
    FileKey hostsKey;
    std::vector<std::string> hostsNames;
    bool hostsTooLarge = false;
    std::map<std::string, bool> routingDomains;
    std::array<std::string, kinds> lastLogged;
    std::array<Kind, kinds> state;
    // Services whose settings the host refused, with the servers they had: told once. The
    // next look's are kept apart until it settles, so that a stale look tells nobody.
    struct Refusal {
        std::vector<std::string> servers;
        Clock::Wall::time_point logged;
    };
    std::map<std::string, Refusal> refused, refusedNext;
    std::vector<std::string> refusalsNew;
    bool offline = false;
    // A failed canary is a finding of its own only once it fails two ticks running with no
    // settings finding at either or the tick before: changed settings fail it too.
    bool canaryFailedBefore = false;
    int ticksSinceSettings = 3;
    Ticker ticker;
};

}  // namespace vesk
