#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "VeskPlatform/Log.hpp"

namespace vesk {

// Whether filtering is meant to be on, kept apart from the host's settings: pointing every
// service elsewhere must not make the filter forget that it was on. Stored in a root-only
// file, so that a restart or a reboot keeps it.
//
// Each change is bracketed (begin, the host work, end) and counted, so that the tamper
// watch can tell that what it read of the host went stale meanwhile, and never restores
// settings that a PIN-guarded disable is clearing.
class FilterIntent {
public:
    // Reads the stored state: on only when the file says so.
    explicit FilterIntent(std::string path);
    FilterIntent(const FilterIntent&) = delete;
    FilterIntent& operator=(const FilterIntent&) = delete;

    bool on() const;
    // Odd while a change is under way.
    uint64_t generation() const;

    // Sets and stores the state (kept in memory when the file cannot be written) and opens
    // a change; end it with endChange once the host work is done.
    void beginChange(bool intended);
    void endChange();
    // A change held open for as long as it lives.
    class Change {
    public:
        Change(FilterIntent& intent, bool intended) : owner(intent) { owner.beginChange(intended); }
        ~Change() { owner.endChange(); }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

    private:
        FilterIntent& owner;
    };

    // Runs action under the lock when the state is on and nothing changed since generation
    // was read; false (action not run) otherwise. The action should be one tool call: a
    // change waits for it.
    bool whileUnchanged(uint64_t seen, const std::function<void()>& action);

private:
    const std::string file;
    mutable std::mutex lock;  // guards intended, stored and changes; held for a file write or one tool call
    bool intended = false;
    std::optional<bool> stored;  // what the file says, when known; a failed write is tried again
    uint64_t changes = 0;
    Log log{LogChannels::tamper};
};

}  // namespace vesk
