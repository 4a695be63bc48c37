#include "ReadySet.hpp"

#include <asio/post.hpp>

#include <array>
#include <cerrno>

#include "VeskPlatform/Platform.hpp"
#if VESK_LINUX_PATHS
#include <sys/epoll.h>
#include <unistd.h>
#endif

namespace vesk {

#if VESK_LINUX_PATHS
namespace {

// Events taken per turn of the loop; more wait for the next turn.
constexpr int collectBatch = 64;

}  // namespace

std::shared_ptr<ReadySet> ReadySet::create(asio::io_context& loop, OnReady onReady) {
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return nullptr;
    std::shared_ptr<ReadySet> set(new ReadySet(loop, epoll, onReady));
    set->wait();
    return set;
}

ReadySet::ReadySet(asio::io_context& loop, int epoll, OnReady ready)
    : descriptor(loop, epoll), onReady(ready) {}

std::optional<ReadySet::Ticket> ReadySet::watch(int fd, std::weak_ptr<void> owner) {
    uint32_t index;
    if (freeSlots.empty()) {
        index = static_cast<uint32_t>(slots.size());
        slots.emplace_back();
    } else {
        index = freeSlots.back();
        freeSlots.pop_back();
    }
    Slot& slot = slots[index];
    Ticket ticket = (uint64_t{slot.generation} << 32) | index;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = ticket;
    if (::epoll_ctl(descriptor.native_handle(), EPOLL_CTL_ADD, fd, &event) != 0) {
        freeSlots.push_back(index);
        return std::nullopt;
    }
    slot.owner = std::move(owner);
    return ticket;
}

void ReadySet::forget(Ticket ticket) {
    auto index = static_cast<uint32_t>(ticket);
    Slot& slot = slots[index];
    slot.owner.reset();
    ++slot.generation;  // events already taken for it are ignored
    freeSlots.push_back(index);
}

void ReadySet::wait() {
    descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                          [weak = weak_from_this()](const asio::error_code& error) {
                              auto self = weak.lock();
                              if (self && !error) self->collect();
                          });
}

void ReadySet::collect() {
    std::array<epoll_event, collectBatch> events;
    int n = ::epoll_wait(descriptor.native_handle(), events.data(), collectBatch, 0);
    for (int i = 0; i < n; ++i) {
        Ticket ticket = events[static_cast<size_t>(i)].data.u64;
        auto index = static_cast<uint32_t>(ticket);
        if (index >= slots.size() || slots[index].generation != ticket >> 32) continue;
        if (auto owner = slots[index].owner.lock()) onReady(owner);
    }
    if (n == collectBatch || (n < 0 && errno == EINTR)) {
        // More may be ready, and the loop hears of the set on edges only.
        asio::post(descriptor.get_executor(), [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->collect();
        });
        return;
    }
    wait();
}

ReadySet::~ReadySet() = default;

#else

std::shared_ptr<ReadySet> ReadySet::create(asio::io_context&, OnReady) { return nullptr; }
ReadySet::~ReadySet() = default;
std::optional<ReadySet::Ticket> ReadySet::watch(int, std::weak_ptr<void>) { return std::nullopt; }
void ReadySet::forget(Ticket) {}

#endif

}  // namespace vesk
