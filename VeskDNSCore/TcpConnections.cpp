#include "TcpConnections.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <cstring>
#include <deque>

#include "VeskPlatform/OnLoop.hpp"
#include "VeskPlatform/Platform.hpp"
#include "VeskDNSCore/TcpFraming.hpp"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // the daemon ignores SIGPIPE instead
#endif

namespace vesk {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Connections accepted per wake-up, and reads per connection, before yielding to the loop.
constexpr int acceptBatch = 64;
constexpr int readBatch = 16;

// Read on the loop's one thread only.
uint8_t streamBuffer[65536];

}  // namespace

class TcpConnectionSet::Connection final : public AnswerChannel,
                                           public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::io_context& loop, int descriptor, std::weak_ptr<TcpConnectionSet> owner)
        : watch(loop), timer(loop), fd(descriptor), set(std::move(owner)) {}

    void deliver(DnsMessage::View answer, const Client&) override {
        auto owner = set.lock();
        auto frame = framed(answer);
        if (!owner || closed || !frame) return;
        outputBytes += frame->size();
        output.push_back(std::move(*frame));
        owner->flush(shared_from_this());
    }

    // A client of this connection for one query; the connection is busy until every
    // such client is gone (answered, dropped or failed).
    Client client() {
        Client out;
        out.channel = weak_from_this();
        out.pending = pendingQueries;
        out.overTcp = true;
        return out;
    }
    bool answering() const { return pendingQueries.use_count() > 1; }
    bool idle() const { return !answering() && output.empty() && !reader.midMessage(); }

    asio::ip::tcp::socket watch;  // owns fd
    asio::steady_timer timer;
    int fd;
    std::weak_ptr<TcpConnectionSet> set;
    FrameReader reader;
    std::deque<DnsMessage::Bytes> output;
    size_t written = 0;  // of output's first frame
    size_t outputBytes = 0;
    bool waitingToWrite = false;
    bool closed = false;
    SteadyClock::time_point lastActivity = SteadyClock::now();

private:
    std::shared_ptr<const void> pendingQueries = std::make_shared<char>();
};

TcpConnectionSet::TcpConnectionSet(asio::io_context& dnsLoop, QueryHandler& queries, Limits tcpLimits)
    : loop(dnsLoop), handler(queries), limits(tcpLimits) {}

TcpConnectionSet::~TcpConnectionSet() {
    asio::error_code ignored;
    if (listener) listener->close(ignored);
    for (auto& connection : connections) connection->watch.close(ignored);
}

std::optional<ServerError> TcpConnectionSet::start(const std::string& host, uint16_t port) {
    auto watched = listenOn<asio::ip::tcp::acceptor>(loop, host, port);
    if (auto* error = std::get_if<ServerError>(&watched)) return *error;
    listener = std::move(std::get<0>(watched));
    armAccept();
    return std::nullopt;
}

void TcpConnectionSet::stop() {
    asio::error_code ignored;
    if (listener) listener->close(ignored);
    listener.reset();
    while (!connections.empty()) close(connections.front());
}

void TcpConnectionSet::armAccept() {
    listener->async_wait(asio::socket_base::wait_read, whenReady(weak_from_this(), &TcpConnectionSet::acceptAll));
}

void TcpConnectionSet::acceptAll() {
    if (!listener) return;
    for (int taken = 0; taken < acceptBatch; ++taken) {
        int listening = listener->native_handle();
#if VESK_LINUX_PATHS
        int accepted = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
        int accepted = ::accept(listening, nullptr, nullptr);
        if (accepted >= 0) {
            ::fcntl(accepted, F_SETFD, FD_CLOEXEC);
            ::fcntl(accepted, F_SETFL, ::fcntl(accepted, F_GETFL) | O_NONBLOCK);
        }
#endif
        if (accepted >= 0) {
            admit(accepted);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return armAccept();
        // Out of descriptors or memory: try again shortly rather than spin or stop.
        log.error("dns tcp accept failed: {}", std::strerror(errno));
        return retryAcceptSoon();
    }
    later(loop, weak_from_this(), &TcpConnectionSet::acceptAll);
}

void TcpConnectionSet::retryAcceptSoon() {
    auto retry = std::make_shared<asio::steady_timer>(loop, std::chrono::milliseconds(100));
    retry->async_wait([retry, accept = whenReady(weak_from_this(), &TcpConnectionSet::acceptAll)](
                          const asio::error_code& ec) { accept(ec); });
}

void TcpConnectionSet::admit(int accepted) {
    if (connections.size() >= limits.maxConnections) {
        std::shared_ptr<Connection> oldest;
        for (const auto& connection : connections) {
            if (connection->idle() && (!oldest || connection->lastActivity < oldest->lastActivity)) {
                oldest = connection;
            }
        }
        if (!oldest) {
            ::close(accepted);  // every connection is busy: refuse the new one
            return;
        }
        close(oldest);
    }
    auto connection = std::make_shared<Connection>(loop, accepted, weak_from_this());
    asio::error_code ec;
    connection->watch.assign(asio::ip::tcp::v4(), accepted, ec);
    if (ec) {
        ::close(accepted);
        return;
    }
    connections.push_back(connection);
    armTimer(connection);
    read(connection);
}

void TcpConnectionSet::read(const std::shared_ptr<Connection>& connection) {
    for (int reads = 0; reads < readBatch; ++reads) {
        if (connection->closed) return;
        ssize_t n = ::recv(connection->fd, streamBuffer, sizeof streamBuffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            connection->watch.async_wait(
                asio::socket_base::wait_read,
                [weak = weak_from_this(), connection](const asio::error_code& ec) {
                    auto self = weak.lock();
                    if (self && !ec && !connection->closed) self->read(connection);
                });
            return;
        }
        if (n <= 0) return close(connection);  // closed by the peer, or failed
        auto now = SteadyClock::now();
        connection->lastActivity = now;
        connection->reader.append(streamBuffer, static_cast<size_t>(n), now);
        while (auto message = connection->reader.next()) {
            if (message->size() < DnsMessage::headerSize) continue;  // as on UDP: no answer
            try {
                handler.handle(*message, connection->client());
            } catch (const std::exception& error) {
                // Dropped; its client is gone with the exception, so the connection is
                // not left busy for good.
                log.error("dns query failed: {}", error.what());
            }
            if (connection->closed) return;
        }
        // The timer is re-armed lazily, for the later of the two limits; a message that
        // began now may be due sooner.
        const auto& reader = connection->reader;
        if (reader.midMessage() &&
            reader.messageStarted() + limits.messageDeadline < connection->timer.expiry()) {
            armTimer(connection);
        }
    }
    // A busy connection yields to the rest of the loop now and then.
    asio::post(loop, [weak = weak_from_this(), connection] {
        auto self = weak.lock();
        if (self && !connection->closed) self->read(connection);
    });
}

void TcpConnectionSet::flush(const std::shared_ptr<Connection>& connection) {
    if (connection->closed || connection->waitingToWrite) return;
    if (connection->outputBytes > limits.maxPendingOutput) return close(connection);
    while (!connection->output.empty()) {
        const auto& front = connection->output.front();
        ssize_t n = ::send(connection->fd, front.data() + connection->written,
                           front.size() - connection->written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            connection->waitingToWrite = true;
            connection->watch.async_wait(
                asio::socket_base::wait_write,
                [weak = weak_from_this(), connection](const asio::error_code& ec) {
                    connection->waitingToWrite = false;
                    auto self = weak.lock();
                    if (self && !ec) self->flush(connection);
                });
            return;
        }
        if (n < 0) return close(connection);
        connection->written += static_cast<size_t>(n);
        connection->lastActivity = SteadyClock::now();
        if (connection->written == front.size()) {
            connection->outputBytes -= front.size();
            connection->output.pop_front();
            connection->written = 0;
        }
    }
}

// One timer per connection, re-armed only when it fires: it closes a connection idle
// for too long, or one whose message has not come whole in time.
void TcpConnectionSet::armTimer(const std::shared_ptr<Connection>& connection) {
    bool midMessage = connection->reader.midMessage();
    auto due = midMessage ? connection->reader.messageStarted() + limits.messageDeadline
                          : connection->lastActivity + limits.idleTimeout;
    // Quiet for longer than the idle time but still owing an answer: look again a while
    // later rather than wake at once, over and over, until the answer goes.
    auto now = SteadyClock::now();
    if (due <= now) due = now + limits.idleTimeout / 4;
    connection->timer.expires_at(due);
    connection->timer.async_wait([weak = weak_from_this(), connection](const asio::error_code& ec) {
        auto self = weak.lock();
        if (!self || ec || connection->closed) return;
        auto firedAt = SteadyClock::now();
        const auto& reader = connection->reader;
        bool lateMessage = reader.midMessage() &&
                           firedAt - reader.messageStarted() >= self->limits.messageDeadline;
        bool quiet = !connection->answering() &&
                     firedAt - connection->lastActivity >= self->limits.idleTimeout;
        if (lateMessage || quiet) return self->close(connection);
        self->armTimer(connection);
    });
}

void TcpConnectionSet::close(const std::shared_ptr<Connection>& connection) {
    if (connection->closed) return;
    connection->closed = true;
    asio::error_code ignored;
    connection->timer.cancel();
    connection->watch.close(ignored);  // closes the descriptor
    connections.remove(connection);
}

}  // namespace vesk
