#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vesk {

// Readiness for the forwarder's short-lived sockets, one per query, kept apart from the
// loop's own: watching a socket is one system call, and closing it is all it takes to
// stop, where the loop's registration costs several calls per socket. The set itself is
// one descriptor the loop watches. Linux only (epoll); create() gives none elsewhere, and
// callers fall back to the loop's own readiness.
class ReadySet : public std::enable_shared_from_this<ReadySet> {
public:
    using OnReady = void (*)(const std::shared_ptr<void>& owner);
    using Ticket = uint64_t;

    // onReady runs on the loop for the owner of each socket with data to read.
    static std::shared_ptr<ReadySet> create(asio::io_context& loop, OnReady onReady);
    ~ReadySet();
    ReadySet(const ReadySet&) = delete;
    ReadySet& operator=(const ReadySet&) = delete;

    // Watches fd for reading on behalf of owner, until forget(); none when it cannot.
    std::optional<Ticket> watch(int fd, std::weak_ptr<void> owner);
    // Call once fd is closed: its owner is no longer told of it.
    void forget(Ticket ticket);

private:
    struct Slot {
        std::weak_ptr<void> owner;
        uint32_t generation = 0;
    };

    ReadySet(asio::io_context& loop, int epoll, OnReady onReady);
    void wait();
    void collect();

    asio::posix::stream_descriptor descriptor;  // the set, watched by the loop; owns it
    OnReady onReady;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
};

}  // namespace vesk
