#include "LoopTimer.hpp"

#include <asio/steady_timer.hpp>

namespace vesk {
namespace {

class SteadyLoopTimer final : public LoopTimer {
public:
    explicit SteadyLoopTimer(asio::io_context& loop) : timer(loop) {}

    Clock::time_point now() const override { return Clock::now(); }
    void wakeAt(Clock::time_point due, std::function<void()> fire) override {
        timer.expires_at(due);
        timer.async_wait([fire = std::move(fire)](const asio::error_code& ec) {
            if (!ec) fire();
        });
    }
    void cancel() override { timer.cancel(); }

private:
    asio::steady_timer timer;
};

}  // namespace

std::unique_ptr<LoopTimer> makeSteadyLoopTimer(asio::io_context& loop) {
    return std::make_unique<SteadyLoopTimer>(loop);
}

}  // namespace vesk
