#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "VeskDNSCore/Blocklist.hpp"

namespace vesk {

// The blocklist in force, replaced whole when the lists change. A new list is built
// elsewhere and published here; each reader holds the list it took until it looks again,
// so that no question is ever decided by a list half built or half freed.
class LiveBlocklist {
public:
    explicit LiveBlocklist(std::shared_ptr<const Blocklist> first);
    LiveBlocklist(const LiveBlocklist&) = delete;
    LiveBlocklist& operator=(const LiveBlocklist&) = delete;

    // From any thread. The list it replaces goes once no reader holds it.
    void publish(std::shared_ptr<const Blocklist> next);
    std::shared_ptr<const Blocklist> current() const;

    // A reader on one thread. Looking for a newer list costs one atomic load, and the lock
    // is taken only when one was published, so that the DNS loop never waits on it.
    class Reader {
    public:
        // The list it lets go of is handed to retire (to free it on another thread); none:
        // let go where it is.
        using Retire = std::function<void(std::shared_ptr<const Blocklist>)>;
        explicit Reader(const LiveBlocklist& from, Retire retire = nullptr);

        // Takes up the newest list: true when it changed since the last look.
        bool refresh();
        const Blocklist& list() const { return *held; }

    private:
        const LiveBlocklist& live;
        Retire retired;
        std::shared_ptr<const Blocklist> held;
        uint64_t seen;
    };

private:
    mutable std::mutex mutex;  // guards newest
    std::shared_ptr<const Blocklist> newest;
    std::atomic<uint64_t> generation{0};
};

}  // namespace vesk
