#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/Uninstaller.hpp"
#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// The ways around the filter the tamper watch still sees: since when the oldest has been
// seen, and their kinds ("dns_settings", ...).
struct TamperFindings {
    std::optional<Clock::Wall::time_point> since;
    std::vector<std::string> via;
    bool operator==(const TamperFindings&) const = default;
};

// The filter's state at one moment, published whole and never changed afterwards.
struct FilterSnapshot {
    bool intended = false;    // meant to be on: set by turning it on or finding it on, cleared only with the PIN
    bool pointed = false;     // some enabled service has 127.0.0.1 among its DNS servers
    bool allPointed = false;  // every enabled service has 127.0.0.1 as its only server
    Clock::Wall::time_point since{};  // when intended or pointed last changed
    uint64_t changes = 0;     // changes of the intended state so far: a look across one is stale
    TamperFindings tamper;
};

// The one owner of the filter's state. Every change of the host's DNS settings (turning
// filtering on or off, the tamper watch's restore, uninstalling, the startup check) runs on
// its queue, one after another, and the host is read back after each; overlapping requests
// each get the state after their own action. Readers take the published snapshot and never
// wait on a tool. Whether filtering is meant to be on is kept in a root-only file, and so
// are the network services seen, so that a restart forgets neither.
class FilterController {
public:
    struct Parts {
        SystemDNS& systemDNS;
        Uninstaller& uninstaller;
        std::string directory;  // holds "filter.intended" and "services.seen"
        Clock& clock;
        // Whether that directory can be trusted; none: always. Nothing is read from or
        // written to one that cannot: the state is kept in memory meanwhile.
        std::function<bool()> stateTrusted = nullptr;
    };
    using Snapshot = std::shared_ptr<const FilterSnapshot>;
    struct Transition {
        Snapshot before, after;
    };

    // The queue must be stopped before the controller goes.
    FilterController(Parts parts, TaskQueue& queue);
    FilterController(const FilterController&) = delete;
    FilterController& operator=(const FilterController&) = delete;

    // Any thread, at once.
    Snapshot snapshot() const;

    Transition enable();
    Transition disable();
    // Reads the host: one that points at the filter is meant to be on, and its DNS caches
    // are flushed, so that answers cached before we started are forgotten.
    Snapshot checkAtStartup();
    // Turns filtering off for good and removes the product (the process ends shortly after
    // this returns). tellPartner runs first, when filtering was meant to be on.
    void uninstall(const std::function<void()>& tellPartner);

    // One service found not pointing at the filter alone, and whether it was put back.
    struct Restore {
        std::string service;
        std::vector<std::string> servers;  // as found
        bool restored = false;   // false: the host refused the change, or did not make it
        bool neverSeen = false;  // a service not seen before this look
        bool operator==(const Restore&) const = default;
    };
    struct SettingsCheck {
        bool intended = false;  // false: meant to be off, nothing was looked at or changed
        uint64_t changes = 0;   // as the snapshot counts them, when the look was taken
        std::vector<Restore> restores;
    };
    // The tamper watch's look at the settings: while filtering is meant to be on, every
    // enabled service not pointing at the filter alone is pointed back at it.
    SettingsCheck checkSettings();
    // The tamper watch's findings, published with the rest.
    void noteTamper(TamperFindings findings);

private:
    // On the queue.
    void setIntended(bool on);
    // Reads the host, remembers its services and publishes what it found.
    void readBack();
    void remember(const SystemDNS::Reading& reading);
    void publish(const SystemDNS::Reading& reading);
    bool stateTrusted() const { return !parts.stateTrusted || parts.stateTrusted(); }
    // Runs action on the queue; the snapshots around it.
    Transition change(const std::function<void()>& action);

    Parts parts;
    TaskQueue& queue;
    const std::string intendedFile, seenFile;
    Log log{LogChannels::tamper};
    // The queue's alone.
    bool intended = false;
    std::optional<bool> stored;  // what the file says, when known; a failed write is tried again
    uint64_t changes = 0;
    std::set<std::string> seen;
    mutable std::mutex snapshotLock;  // guards current; held only to swap or copy it
    Snapshot current;
};

}  // namespace vesk
