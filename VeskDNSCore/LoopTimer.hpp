#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace vesk {

// The DNS loop's clock with one timer on it, so that deadlines can be tested by the
// order of events: the real one waits on the steady clock, a test's moves by hand.
class LoopTimer {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~LoopTimer() = default;
    virtual Clock::time_point now() const = 0;
    // Calls fire on the loop once due has come; replaces any wake set before.
    virtual void wakeAt(Clock::time_point due, std::function<void()> fire) = 0;
    virtual void cancel() = 0;
};

std::unique_ptr<LoopTimer> makeSteadyLoopTimer(asio::io_context& loop);

}  // namespace vesk
