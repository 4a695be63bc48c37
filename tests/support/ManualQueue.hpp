#pragma once

#include <chrono>
#include <map>
#include <utility>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/SerialQueue.hpp"

namespace vesk::test {

// A task queue on a clock that moves only when the test says: tasks run on the test's
// thread, in due order, when it calls run() or advance(). The wall clock it shows moves
// with it.
class ManualQueue final : public TaskQueue {
public:
    void async(Task task) override { asyncAfter(Clock::duration::zero(), std::move(task)); }
    void asyncAfter(Clock::duration delay, Task task) override {
        tasks.emplace(std::make_pair(now + delay, order++), std::move(task));
    }
    // As on the real queue, what was queued before and is due runs first.
    bool sync(Task task) override {
        async(std::move(task));
        run();
        return true;
    }

    // Runs every task that is due, including those that come due as others run.
    void run() {
        while (!tasks.empty() && tasks.begin()->first.first <= now) {
            Task task = std::move(tasks.begin()->second);
            tasks.erase(tasks.begin());
            task();
        }
    }
    void advance(Clock::duration step) {
        // Stops at each task's due time, so that what it schedules is timed from then.
        auto end = now + step;
        while (!tasks.empty() && tasks.begin()->first.first <= end) {
            now = std::max(now, tasks.begin()->first.first);
            run();
        }
        now = end;
    }
    size_t waiting() const { return tasks.size(); }
    Clock::duration elapsed() const { return now - Clock::time_point{}; }
    std::chrono::system_clock::time_point wallNow() const {
        return std::chrono::system_clock::time_point{} + std::chrono::hours(24 * 365 * 56) +
               std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed());
    }

private:
    Clock::time_point now{};
    uint64_t order = 0;
    std::map<std::pair<Clock::time_point, uint64_t>, Task> tasks;
};

// Time as the queue has it, plus whatever the unit under test spent sleeping: a probe
// that sleeps stands for one that is slow.
class QueueClock final : public vesk::Clock {
public:
    explicit QueueClock(const ManualQueue& manual) : queue(manual) {}
    Wall::time_point wallNow() const override {
        return queue.wallNow() + std::chrono::duration_cast<Wall::duration>(spent);
    }
    Monotonic::time_point now() const override { return Monotonic::time_point{} + queue.elapsed() + spent; }
    void sleepFor(Monotonic::duration duration) override { spent += duration; }

private:
    const ManualQueue& queue;
    Monotonic::duration spent{};
};

}  // namespace vesk::test
