#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "VeskDNSCore/BlockSubscriber.hpp"

namespace vesk {

// The most recent blocks, in memory only, oldest first. Shared by the DNS path, which
// records, and the control API, which reads.
class BlockEventLog final : public BlockSubscriber {
public:
    using Clock = std::chrono::system_clock;
    struct Event {
        std::string category;
        Clock::time_point at;
        bool operator==(const Event&) const = default;
    };

    explicit BlockEventLog(size_t capacity) : cap(capacity) {}

    void record(std::string category, Clock::time_point at);
    // Records the block; the lock it takes is held only to append.
    void blocked(std::string_view category, const DomainName&, Clock::time_point at) override {
        record(std::string(category), at);
    }
    // A copy of the last `limit` events (fewer if fewer are held), oldest first.
    std::vector<Event> recent(size_t limit) const;

private:
    mutable std::mutex lock;  // guards events
    std::deque<Event> events;
    const size_t cap;
};

}  // namespace vesk
