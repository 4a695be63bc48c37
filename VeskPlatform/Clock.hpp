#pragma once

#include <chrono>
#include <string>

namespace vesk {

// Time as the host units see it: the wall clock (for times that are compared with stored
// or reported dates), the monotonic clock (for intervals) and sleeping. Tests put a clock
// in its place that moves only when they say, so waits cost no real time.
class Clock {
public:
    using Monotonic = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    virtual ~Clock() = default;
    virtual Wall::time_point wallNow() const = 0;
    virtual Monotonic::time_point now() const = 0;
    virtual void sleepFor(Monotonic::duration duration) = 0;

    // The real clocks, shared.
    static Clock& system();
    // ISO 8601 in UTC to the second: 2026-12-05T12:00:00Z.
    static std::string isoTime(Wall::time_point at);
};

}  // namespace vesk
