#include "LiveBlocklist.hpp"

namespace vesk {

LiveBlocklist::LiveBlocklist(std::shared_ptr<const Blocklist> first) : newest(std::move(first)) {}

void LiveBlocklist::publish(std::shared_ptr<const Blocklist> next) {
    {
        std::lock_guard lock(mutex);
        std::swap(newest, next);
        generation.fetch_add(1, std::memory_order_release);
    }
    // `next` now holds the old list: freed here, outside the lock, unless a reader has it.
}

std::shared_ptr<const Blocklist> LiveBlocklist::current() const {
    std::lock_guard lock(mutex);
    return newest;
}

LiveBlocklist::Reader::Reader(const LiveBlocklist& from, Retire retire)
    : live(from), retired(std::move(retire)), seen(from.generation.load(std::memory_order_acquire)) {
    held = live.current();
}

bool LiveBlocklist::Reader::refresh() {
    uint64_t now = live.generation.load(std::memory_order_acquire);
    if (now == seen) return false;
    seen = now;
    auto old = std::exchange(held, live.current());
    if (old == held) return false;
    if (retired) retired(std::move(old));
    return true;
}

}  // namespace vesk
