#include "Canary.hpp"

#include <charconv>
#include <random>

#include <fmt/format.h>

namespace vesk {
namespace {

// The label is the value in 16 hex digits, so the listener reads it back without hashing;
// the value picks the top-level domain too.
constexpr size_t labelLength = 16;
constexpr std::string_view topLevel[] = {"com", "net", "org"};

std::string_view topLevelOf(uint64_t value) { return topLevel[value % std::size(topLevel)]; }

// The name's value when it has the armed names' shape, else 0.
uint64_t valueOf(const DomainName& name) {
    std::string_view label = name.firstLabel();
    uint64_t value = 0;
    if (label.size() != labelLength || name.view().size() != labelLength + 4) return 0;
    auto [end, error] = std::from_chars(label.data(), label.data() + label.size(), value, 16);
    if (error != std::errc() || end != label.data() + label.size()) return 0;
    return name.view().substr(labelLength + 1) == topLevelOf(value) ? value : 0;
}

}  // namespace

std::string Canary::arm() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    uint64_t value = 0;
    while (value == 0) value = random();
    std::lock_guard guard(lock);
    armed.store(value, std::memory_order_release);
    came = false;
    return fmt::format("{:016x}.{}", value, topLevelOf(value));
}

bool Canary::isArmed(const DomainName& name) const {
    uint64_t value = valueOf(name);
    return value != 0 && value == armed.load(std::memory_order_acquire);
}

void Canary::arrived(const DomainName& name) {
    uint64_t value = valueOf(name);
    if (value == 0) return;
    {
        // Checked again under the lock: the watch may have armed another name meanwhile.
        std::lock_guard guard(lock);
        if (value != armed.load(std::memory_order_relaxed)) return;
        came = true;
    }
    comes.notify_all();
}

bool Canary::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(lock);
    return comes.wait_until(guard, deadline, [this] { return came; });
}

}  // namespace vesk
