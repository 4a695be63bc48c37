#pragma once

#include <cstddef>
#include <iterator>
#include <limits>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vesk {

// The control API's open connections, oldest first, each idle (still reading its request)
// or busy (being answered), and at most `most` of them: any local process may connect, and
// connections that never send a request must not take the descriptors the DNS path needs.
// A connection that comes to a full set takes the place of the oldest idle one, or is
// refused when every one is busy. Not thread-safe: the server's loop is its only user.
template <typename Handle>
class ConnectionCap {
public:
    explicit ConnectionCap(size_t mostOpen) : most(mostOpen) {}

    struct Admission {
        bool admitted = false;
        std::optional<Handle> evicted;  // to be closed by the caller; already forgotten here
    };
    Admission admit(Handle handle) {
        Admission admission;
        if (entries.size() >= most) {
            if (idle.empty()) return admission;
            admission.evicted = idle.front();
            remove(idle.front());
        }
        idle.push_back(handle);
        entries[handle] = std::prev(idle.end());
        admission.admitted = true;
        return admission;
    }
    // Its request is being answered: no longer one to make room with.
    void busy(Handle handle) {
        auto found = entries.find(handle);
        if (found == entries.end() || found->second == idle.end()) return;
        idle.erase(found->second);
        found->second = idle.end();
    }
    void remove(Handle handle) {
        auto found = entries.find(handle);
        if (found == entries.end()) return;
        if (found->second != idle.end()) idle.erase(found->second);
        entries.erase(found);
    }
    size_t size() const { return entries.size(); }
    std::vector<Handle> all() const {
        std::vector<Handle> handles;
        for (const auto& entry : entries) handles.push_back(entry.first);
        return handles;
    }

private:
    const size_t most;
    std::list<Handle> idle;  // oldest first
    // Where each is in idle; idle.end() (which a list never moves) for the busy ones.
    std::unordered_map<Handle, typename std::list<Handle>::iterator> entries;
};

// How many more descriptors the control API may take before it counts again, so that at
// least a tenth of the process's limit stays free for DNS (a socket per upstream for every
// forwarded query). Counting costs a directory listing, so it is not done per connection:
// the API takes half of what is free beyond the reserve, leaving the other half to the rest
// of the daemon meanwhile. 0: stop accepting until descriptors free up.
inline size_t descriptorBudget(size_t open, size_t limit) {
    if (limit == std::numeric_limits<size_t>::max()) return limit;
    size_t reserve = limit / 10;
    size_t free = limit > open ? limit - open : 0;
    if (free <= reserve) return 0;
    return (free - reserve + 1) / 2;
}

}  // namespace vesk
