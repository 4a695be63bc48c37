#include "Ticker.hpp"

#include <algorithm>
#include <stdexcept>

namespace vesk {

void Ticker::start(std::chrono::duration<double> firstDelay, std::chrono::duration<double> period) {
    every = std::chrono::duration_cast<Clock::Monotonic::duration>(period);
    // A zero period would have the schedule divide by zero.
    if (every <= Clock::Monotonic::duration::zero()) throw std::invalid_argument("tick period must be positive");
    auto delay = std::chrono::duration_cast<Clock::Monotonic::duration>(firstDelay);
    firstDue = clock.now() + delay;
    queue.asyncAfter(delay, [this] { fire(); });
}

void Ticker::startJittered(Gap gap) {
    nextGap = std::move(gap);
    auto delay = nextGap();
    due = clock.now() + delay;
    queue.asyncAfter(delay, [this] { fire(); });
}

void Ticker::fire() {
    // The queue logs what a tick throws.
    try {
        tick();
    } catch (...) {
        scheduleNext();
        throw;
    }
    scheduleNext();
}

// Counted from the tick's end, so a tick that overran several periods gets one successor.
void Ticker::scheduleNext() {
    auto end = clock.now();
    if (nextGap) {
        due = std::max(due + nextGap(), end);
        queue.asyncAfter(due - end, [this] { fire(); });
        return;
    }
    auto since = std::max(end - firstDue, Clock::Monotonic::duration::zero());
    auto next = firstDue + (since / every + 1) * every;
    queue.asyncAfter(next - end, [this] { fire(); });
}

}  // namespace vesk
