#pragma once

#include <chrono>
#include <functional>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/SerialQueue.hpp"

namespace vesk {

// A periodic timer on a task queue: the first tick after a delay, then one every period,
// kept on the grid of the first. A tick that ends late skips the fires it overran rather
// than catching up in a burst, and the next tick is scheduled whatever a tick throws.
// Ticks capture the ticker: the queue must be stopped before it is destroyed.
class Ticker {
public:
    Ticker(TaskQueue& taskQueue, Clock& time, std::function<void()> onTick)
        : queue(taskQueue), clock(time), tick(std::move(onTick)) {}
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Call once; period must be positive.
    void start(std::chrono::duration<double> firstDelay, std::chrono::duration<double> period);
    // Or ticks whose gaps gap() draws, each counted from when the tick before was due, so
    // that no one watching can tell when the next comes. Call once.
    using Gap = std::function<Clock::Monotonic::duration()>;
    void startJittered(Gap gap);

private:
    void fire();
    void scheduleNext();

    TaskQueue& queue;
    Clock& clock;
    std::function<void()> tick;
    // Fixed by start() before the first tick; read on the queue afterwards.
    Clock::Monotonic::time_point firstDue;
    Clock::Monotonic::duration every{};
    Gap nextGap;  // set: jittered
    Clock::Monotonic::time_point due;
};

}  // namespace vesk
