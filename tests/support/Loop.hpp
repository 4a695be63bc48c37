#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <optional>

#include "VeskDNSCore/LoopTimer.hpp"

namespace vesk::test {

// Runs the loop until done() holds or the timeout passes; says whether it held.
template <typename Done>
bool runUntil(asio::io_context& loop, Done done, std::chrono::steady_clock::duration timeout = std::chrono::seconds(5)) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !done(); loop.run_for(std::chrono::milliseconds(5))) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        loop.restart();
    }
    return true;
}

// A clock that moves only when the test says, with the one loop timer on it. A wake that
// comes due fires as a real timer does: when the loop next looks at its timers, after
// the sockets that are ready by then, so the two can meet in one turn of the loop.
class ManualClock final : public LoopTimer {
public:
    explicit ManualClock(asio::io_context& loop) : nudge(loop) {}

    // The timer to hand to the unit under test; this clock must outlive its use.
    std::unique_ptr<LoopTimer> timer() {
        struct Forward final : LoopTimer {
            explicit Forward(ManualClock& to) : clock(to) {}
            Clock::time_point now() const override { return clock.now(); }
            void wakeAt(Clock::time_point when, std::function<void()> then) override { clock.wakeAt(when, std::move(then)); }
            void cancel() override { clock.cancel(); }
            ManualClock& clock;
        };
        return std::make_unique<Forward>(*this);
    }
    void advance(Clock::duration step) {
        current += step;
        if (!due || *due > current) return;
        due.reset();
        nudge.expires_after(Clock::duration::zero());
        nudge.async_wait([fire = std::move(fire)](const asio::error_code& ec) {
            if (!ec) fire();
        });
    }

    Clock::time_point now() const override { return current; }
    void wakeAt(Clock::time_point when, std::function<void()> then) override { due = when, fire = std::move(then); }
    void cancel() override { due.reset(); }

private:
    asio::steady_timer nudge;
    Clock::time_point current{std::chrono::hours(1)};
    std::optional<Clock::time_point> due;
    std::function<void()> fire;
};

}  // namespace vesk::test
