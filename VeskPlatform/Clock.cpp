#include "Clock.hpp"

#include <thread>

namespace vesk {

Clock& Clock::system() {
    struct SystemClock final : Clock {
        Wall::time_point wallNow() const override { return Wall::now(); }
        Monotonic::time_point now() const override { return Monotonic::now(); }
        void sleepFor(Monotonic::duration duration) override { std::this_thread::sleep_for(duration); }
    };
    static SystemClock clock;
    return clock;
}

}  // namespace vesk
