#include "BlockEventLog.hpp"

#include <algorithm>

namespace vesk {

void BlockEventLog::record(std::string category, Clock::time_point at) {
    std::lock_guard guard(lock);
    if (cap == 0) return;
    if (events.size() == cap) events.pop_front();
    events.push_back(Event{std::move(category), at});
}

std::vector<BlockEventLog::Event> BlockEventLog::recent(size_t limit) const {
    std::lock_guard guard(lock);
    size_t n = std::min(limit, events.size());
    return {events.end() - static_cast<std::ptrdiff_t>(n), events.end()};
}

}  // namespace vesk
