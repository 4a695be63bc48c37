#pragma once

#include <deque>
#include <vector>
#include <functional>
#include <memory>

#include "VeskDNSCore/LoopTimer.hpp"

namespace vesk {

// Deadlines of one length come due in the order they were set: one queue and one timer
// serve them all. Entries are held weakly, so one settled early is freed at once; when an
// entry's deadline comes and it still exists, expire is called with it. Create with
// std::make_shared: the timer refers to the queue weakly.
class DeadlineQueue : public std::enable_shared_from_this<DeadlineQueue> {
public:
    using Expire = std::function<void(std::shared_ptr<void> entry)>;

    DeadlineQueue(std::shared_ptr<LoopTimer> loopTimer, Expire onExpiry)
        : timer(std::move(loopTimer)), expire(std::move(onExpiry)) {}
    ~DeadlineQueue() { timer->cancel(); }

    const std::shared_ptr<LoopTimer>& clock() const { return timer; }
    // The entries that still wait for their deadline.
    std::vector<std::shared_ptr<void>> pending() const {
        std::vector<std::shared_ptr<void>> out;
        for (const auto& [due, entry] : queue) {
            if (auto held = entry.lock()) out.push_back(std::move(held));
        }
        return out;
    }
    // Entries must be added in the order of their deadlines.
    void add(LoopTimer::Clock::time_point due, std::weak_ptr<void> entry) {
        dropSettled();
        queue.emplace_back(due, std::move(entry));
        if (!armed) arm();
    }

private:
    // Most entries are settled long before their deadline: dropping them from the front
    // keeps the timer from waking for each, and frees them early.
    void dropSettled() {
        while (!queue.empty() && queue.front().second.expired()) queue.pop_front();
    }
    void arm() {
        armed = true;
        timer->wakeAt(queue.front().first, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->fire();
        });
    }
    void fire() {
        armed = false;
        auto now = timer->now();
        while (!queue.empty() && queue.front().first <= now) {
            auto entry = queue.front().second.lock();
            queue.pop_front();
            if (entry) expire(std::move(entry));
        }
        dropSettled();
        if (!queue.empty()) arm();
    }

    std::shared_ptr<LoopTimer> timer;
    Expire expire;
    std::deque<std::pair<LoopTimer::Clock::time_point, std::weak_ptr<void>>> queue;
    bool armed = false;
};

}  // namespace vesk
