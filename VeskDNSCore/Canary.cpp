#include "Canary.hpp"

#include <charconv>
#include <random>

#include <fmt/format.h>

namespace vesk {
namespace {

// The label is the value in 16 hex digits, so the listener reads it back without hashing.
constexpr size_t labelLength = 16;

}  // namespace

std::string Canary::arm() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    uint64_t value = 0;
    while (value == 0) value = random();
    std::lock_guard guard(lock);
    armed.store(value, std::memory_order_release);
    came = false;
    return fmt::format("{:016x}.{}", value, domain);
}

void Canary::arrived(const DomainName& name) {
    std::string_view label = name.firstLabel();
    uint64_t value = 0;
    if (label.size() != labelLength) return;
    auto [end, error] = std::from_chars(label.data(), label.data() + label.size(), value, 16);
    if (error != std::errc() || end != label.data() + label.size()) return;
    if (value == 0 || value != armed.load(std::memory_order_acquire)) return;
    if (!name.isAtOrUnder(domain) || name.view().size() != labelLength + 1 + domain.size()) return;
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
