#include "Clock.hpp"

#include <ctime>
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

std::string Clock::isoTime(Wall::time_point at) {
    std::time_t seconds = Wall::to_time_t(std::chrono::floor<std::chrono::seconds>(at));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

}  // namespace vesk
