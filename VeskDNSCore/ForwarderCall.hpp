#pragma once

// What the forwarder's two transports share of a call: not part of its interface.

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <unistd.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeskDNSCore/DnsForwarder.hpp"
#include "VeskDNSCore/ReadySet.hpp"
#include "VeskDNSCore/LogChannels.hpp"

namespace vesk {

inline const Log& forwarderLog() {
    static const Log instance(LogChannels::forwarder);
    return instance;
}

// Replies are read on the loop's one thread only.
inline uint8_t forwarderReceiveBuffer[65536];

struct DnsForwarder::Call {
    ~Call() { closeSocket(); }

    // Everything of a call runs on the loop's one thread, which decides the race once.
    bool decided = false;
    // Over UDP: one socket, a fresh port, for every upstream; watched by the loop, or in
    // the ready set under the ticket.
    int fd = -1;
    std::optional<asio::ip::udp::socket> watched;
    std::shared_ptr<ReadySet> set;
    ReadySet::Ticket ticket = 0;
    asio::io_context* loop = nullptr;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> streams;  // over TCP: one each
    std::shared_ptr<const std::vector<Upstream>> upstreams;
    std::shared_ptr<const LoopTimer> clock;
    LoopTimer::Clock::time_point start;
    std::string label;
    std::optional<std::array<uint8_t, 2>> expectedId;
    // How long the query's question is, after its header; 0 when it cannot be read, and
    // then the ID and the source alone decide.
    size_t questionSize = 0;
    DnsMessage::Bytes query;
    Completion completion;
    const Outcome* outcome = nullptr;  // the forwarder's, which outlives its calls
    // Keeps an undecided call alive even when no upstream is still listening for it, so
    // that the deadline always finds it; dropped when the race is decided.
    std::shared_ptr<Call> undecided;

    DnsMessage::View question() const {
        return DnsMessage::View(query).subspan(DnsMessage::headerSize, questionSize);
    }
    void closeSocket() {
        if (watched) {
            asio::error_code ignored;
            watched->close(ignored);
            watched.reset();
        } else if (fd >= 0) {
            ::close(fd);  // which takes it out of the set
            set->forget(ticket);
        }
        fd = -1;
    }
};

}  // namespace vesk
