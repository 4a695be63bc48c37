#include "DnsForwarder.hpp"

#include "VeskDNSCore/TcpFraming.hpp"
#include "VeskDNSCore/DeadlineQueue.hpp"
#include "VeskDNSCore/UpstreamSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace vesk {
namespace {

const Log& log() {
    static const Log instance(LogChannels::forwarder);
    return instance;
}

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // the daemon ignores SIGPIPE instead
#endif

// A socket of the given kind connected (or connecting) to the upstream; none, logged,
// when it cannot be had: that upstream is then out of the race.
template <typename Socket>
std::unique_ptr<Socket> openSocket(asio::io_context& context, const DnsForwarder::Upstream& upstream,
                                   const std::string& label) {
    std::string error;
    auto socket = openUpstreamSocket<Socket>(context, upstream.address, upstream.port, error);
    if (!socket) {
        log().error("forwarder.state_failed txid={} upstream={} err={}", label, upstream.name, error);
    }
    return socket;
}

// Replies are read on the loop's one thread only.
uint8_t receiveBuffer[65536];

}  // namespace

struct DnsForwarder::Call {
    std::mutex lock;  // guards decided and sockets: the race is decided exactly once
    bool decided = false;
    std::vector<std::unique_ptr<asio::ip::udp::socket>> sockets;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> streams;
    std::shared_ptr<const LoopTimer> clock;
    LoopTimer::Clock::time_point start;
    std::string label;
    std::optional<std::array<uint8_t, 2>> expectedId;
    DnsMessage::Bytes query;
    Completion completion;
    // Keeps an undecided call alive even when no upstream is still listening for it, so
    // that the deadline always finds it; dropped when the race is decided.
    std::shared_ptr<Call> undecided;
};

// Reads the one reply an upstream gets per call.
struct DnsForwarder::Receiver {
    std::shared_ptr<Call> call;
    asio::ip::udp::socket* socket;  // owned by the call until the race is decided
    int fd;
    std::string name;

    void operator()(const asio::error_code& error) const {
        {
            // A decided race has closed its sockets; nothing of it may be touched again.
            std::lock_guard guard(call->lock);
            if (call->decided || error) return;
        }
        ssize_t n = ::recv(fd, receiveBuffer, sizeof receiveBuffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            socket->async_wait(asio::socket_base::wait_read, *this);
            return;
        }
        if (n < 0) {
            log().error("forwarder.recv_failed txid={} upstream={} err={}", call->label, name,
                        std::strerror(errno));
            return;
        }
        offer(call, name, DnsMessage::Bytes(receiveBuffer, receiveBuffer + n));
    }
};

std::vector<DnsForwarder::Upstream> DnsForwarder::defaultUpstreams() {
    std::vector<Upstream> out;
    for (const char* address : {"1.1.1.1", "9.9.9.9", "8.8.8.8"}) out.push_back(*upstream(address, 53));
    return out;
}

std::optional<DnsForwarder::Upstream> DnsForwarder::upstream(const std::string& address,
                                                             uint16_t port) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return std::nullopt;
    return Upstream{ntohl(parsed.s_addr), port, port == 53 ? address : address + ":" + std::to_string(port)};
}

DnsForwarder::DnsForwarder(asio::io_context& loop, std::vector<Upstream> upstreams,
                           std::chrono::duration<double> timeout, std::unique_ptr<LoopTimer> timer)
    : context(loop),
      list(std::move(upstreams)),
      callTimeout(std::chrono::duration_cast<LoopTimer::Clock::duration>(timeout)),
      // An undecided call keeps itself alive, so its deadline always finds it.
      deadlines(std::make_shared<DeadlineQueue>(
          timer ? std::move(timer) : makeSteadyLoopTimer(loop),
          [](std::shared_ptr<void> call) { finish(std::static_pointer_cast<Call>(call), std::nullopt); })) {}

DnsForwarder::~DnsForwarder() = default;

void DnsForwarder::resolve(DnsMessage::Bytes query, Completion completion, Transport transport) {
    // Separate allocation: the deadline queue's weak references then keep only the
    // control block, not the call, alive for the timeout.
    std::shared_ptr<Call> call(new Call);
    call->clock = deadlines->clock();
    call->start = call->clock->now();
    if (query.size() >= 2) {
        call->label = fmt::format("{:02x}{:02x}", query[0], query[1]);
        call->expectedId = std::array<uint8_t, 2>{query[0], query[1]};
    } else {
        call->label = "??";
    }
    call->query = std::move(query);
    call->completion = std::move(completion);
    call->undecided = call;
    log().info("forwarder.start txid={} upstreams={} bytes={}", call->label, list.size(),
               call->query.size());
    for (const auto& upstream : list) {
        if (transport == Transport::tcp) {
            raceOverTcp(call, upstream);
        } else {
            race(call, upstream);
        }
    }
    deadlines->add(call->start + callTimeout, call);
}

void DnsForwarder::race(const std::shared_ptr<Call>& call, const Upstream& upstream) {
    auto socket = openSocket<asio::ip::udp::socket>(context, upstream, call->label);
    if (!socket) return;
    int fd = socket->native_handle();
    asio::ip::udp::socket* raw = socket.get();
    {
        std::lock_guard guard(call->lock);
        call->sockets.push_back(std::move(socket));
    }
    log().debug("forwarder.ready txid={} upstream={}", call->label, upstream.name);
    if (::send(fd, call->query.data(), call->query.size(), 0) < 0) {
        log().error("forwarder.send_failed txid={} upstream={} err={}", call->label, upstream.name,
                    std::strerror(errno));
        return;
    }
    raw->async_wait(asio::socket_base::wait_read, Receiver{call, raw, fd, upstream.name});
}

// One upstream's TCP exchange for a call: connect, write the framed query (short writes
// continued), read one framed reply.
struct DnsForwarder::Exchange : std::enable_shared_from_this<Exchange> {
    std::shared_ptr<Call> call;
    asio::ip::tcp::socket* socket;  // owned by the call until the race is decided
    int fd;
    std::string name;
    DnsMessage::Bytes out;
    size_t written = 0;
    FrameReader in;
    bool connected = false;

    bool undecided(const asio::error_code& error) const {
        std::lock_guard guard(call->lock);
        return !call->decided && !error;
    }

    void wait(asio::socket_base::wait_type type) {
        socket->async_wait(type, [self = shared_from_this(), type](const asio::error_code& error) {
            if (!self->undecided(error)) return;
            if (type == asio::socket_base::wait_write) {
                self->writeQuery();
            } else {
                self->readReply();
            }
        });
    }

    void writeQuery() {
        if (!connected) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                log().error("forwarder.state_failed txid={} upstream={} err={}", call->label, name,
                            std::strerror(error));
                return;
            }
            connected = true;
            log().debug("forwarder.ready txid={} upstream={}", call->label, name);
        }
        while (written < out.size()) {
            ssize_t n = ::send(fd, out.data() + written, out.size() - written, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(asio::socket_base::wait_write);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                log().error("forwarder.send_failed txid={} upstream={} err={}", call->label, name,
                            std::strerror(errno));
                return;
            }
            written += static_cast<size_t>(n);
        }
        wait(asio::socket_base::wait_read);
    }

    void readReply() {
        for (;;) {
            ssize_t n = ::recv(fd, receiveBuffer, sizeof receiveBuffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(asio::socket_base::wait_read);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                log().error("forwarder.recv_failed txid={} upstream={} err={}", call->label, name,
                            n == 0 ? "connection closed" : std::strerror(errno));
                return;
            }
            in.append(receiveBuffer, static_cast<size_t>(n), call->clock->now());
            if (auto reply = in.next()) return offer(call, name, std::move(*reply));
        }
    }
};

void DnsForwarder::raceOverTcp(const std::shared_ptr<Call>& call, const Upstream& upstream) {
    auto framedQuery = framed(call->query);
    if (!framedQuery) {
        log().error("forwarder.state_failed txid={} upstream={} err=query too long for TCP",
                    call->label, upstream.name);
        return;
    }
    auto socket = openSocket<asio::ip::tcp::socket>(context, upstream, call->label);
    if (!socket) return;
    int fd = socket->native_handle();
    auto exchange = std::make_shared<Exchange>();
    exchange->call = call;
    exchange->socket = socket.get();
    exchange->fd = fd;
    exchange->name = upstream.name;
    exchange->out = std::move(*framedQuery);
    {
        std::lock_guard guard(call->lock);
        call->streams.push_back(std::move(socket));
    }
    exchange->wait(asio::socket_base::wait_write);  // writable once connected
}

void DnsForwarder::offer(const std::shared_ptr<Call>& call, const std::string& upstream,
                         DnsMessage::Bytes reply) {
    if (reply.size() < 12) {
        log().error("forwarder.recv_short txid={} upstream={} bytes={}", call->label, upstream,
                    reply.size());
    } else if (call->expectedId && (reply[0] != (*call->expectedId)[0] ||
                                    reply[1] != (*call->expectedId)[1])) {
        log().error("forwarder.txid_mismatch txid={} upstream={}", call->label, upstream);
    } else {
        log().info("forwarder.recv_ok txid={} upstream={} bytes={}", call->label, upstream,
                   reply.size());
        finish(call, std::move(reply));
    }
}

void DnsForwarder::finish(const std::shared_ptr<Call>& call, std::optional<DnsMessage::Bytes> answer) {
    std::vector<std::unique_ptr<asio::ip::udp::socket>> sockets;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> streams;
    std::shared_ptr<Call> undecided;
    {
        std::lock_guard guard(call->lock);
        if (call->decided) return;
        call->decided = true;
        sockets = std::move(call->sockets);
        streams = std::move(call->streams);
        undecided = std::move(call->undecided);
    }
    asio::error_code ignored;
    for (auto& socket : sockets) socket->close(ignored);
    for (auto& stream : streams) stream->close(ignored);
    double elapsed = std::chrono::duration<double>(call->clock->now() - call->start).count();
    if (answer) {
        log().info("forwarder.win txid={} elapsed={:.3f}s", call->label, elapsed);
    } else {
        log().error("forwarder.timeout txid={} elapsed={:.3f}s — caller will SERVFAIL", call->label,
                    elapsed);
    }
    call->completion(std::move(answer));
}

}  // namespace vesk
