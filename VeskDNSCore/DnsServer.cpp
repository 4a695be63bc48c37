#include "DnsServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <cerrno>
#include <cstring>
#include <deque>
#include <variant>

#include "VeskDNSCore/SafeSearch.hpp"
#include "VeskDNSCore/TcpFraming.hpp"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // the daemon ignores SIGPIPE instead
#endif

namespace vesk {
namespace {

// Datagrams taken per wake-up before the loop gets to forwarded answers and deadlines.
constexpr int drainBatch = 64;
// Without an OPT record in our answer, a client may expect no more than this.
constexpr size_t classicUdpSize = 512;

}  // namespace

DnsServer::ServerError::ServerError(Kind kind, int error) : errorKind(kind), errorNumber(error) {
    const char* call = kind == Kind::socketFailed ? "socket()"
                       : kind == Kind::bindFailed ? "bind()"
                                                  : "listen()";
    text = std::string(call) + " failed: errno " + std::to_string(error) + " (" +
           std::strerror(error) + ")";
}

// One client's TCP connection: queries come framed, answers go back framed as they
// complete, in any order.
struct DnsServer::TcpConnection {
    TcpConnection(asio::io_context& loop, int descriptor) : watch(loop), timer(loop), fd(descriptor) {}

    bool idle() const { return inFlight == 0 && output.empty() && !reader.midMessage(); }

    asio::ip::tcp::socket watch;  // owns fd
    asio::steady_timer timer;
    int fd;
    FrameReader reader;
    std::deque<DnsMessage::Bytes> output;
    size_t written = 0;  // of output's first message
    size_t outputBytes = 0;
    bool waitingToWrite = false;
    int inFlight = 0;  // queries not answered yet
    bool closed = false;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point messageStarted;
};

DnsServer::DnsServer(asio::io_context& dnsLoop, const Blocklist& list, std::string bindHost,
                     uint16_t bindPort, BlockEventLog* events,
                     std::vector<DnsForwarder::Upstream> upstreams,
                     std::chrono::duration<double> timeout)
    : loop(dnsLoop),
      blocklist(list),
      forwarder(dnsLoop, std::move(upstreams), timeout),
      blockLog(events),
      host(std::move(bindHost)),
      port(bindPort) {}

DnsServer::~DnsServer() {
    asio::error_code ignored;
    if (source) source->close(ignored);
    if (listener) listener->close(ignored);
    for (auto& connection : connections) connection->watch.close(ignored);
}

namespace {

// A bound, non-blocking, close-on-exec socket of the type on host:port, or the error.
std::variant<int, DnsServer::ServerError> boundSocket(int type, const std::string& host,
                                                      uint16_t port) {
    using Kind = DnsServer::ServerError::Kind;
    int s = ::socket(AF_INET, type, 0);
    if (s < 0) return DnsServer::ServerError(Kind::socketFailed, errno);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);  // no tool we run may inherit a listener
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // Text that is no IPv4 address gives 255.255.255.255, which macOS refuses to bind
    // but Linux accepts; refuse it here alike rather than listen on the broadcast address.
    address.sin_addr.s_addr = inet_addr(host.c_str());
    bool notAnAddress = address.sin_addr.s_addr == INADDR_NONE && host != "255.255.255.255";
    if (notAnAddress || ::bind(s, reinterpret_cast<const sockaddr*>(&address), 16) != 0) {
        int error = notAnAddress ? EADDRNOTAVAIL : errno;
        ::close(s);
        return DnsServer::ServerError(Kind::bindFailed, error);
    }
    return s;
}

bool isResolverDiscovery(std::string_view name) {
    constexpr std::string_view discovery = "_dns.resolver.arpa";
    return name == discovery ||
           (name.size() > discovery.size() && name.ends_with(discovery) &&
            name[name.size() - discovery.size() - 1] == '.');
}

// Read on the loop's one thread only.
uint8_t streamBuffer[65536];

}  // namespace

void DnsServer::start() {
    auto bound = boundSocket(SOCK_DGRAM, host, port);
    if (auto* error = std::get_if<ServerError>(&bound)) throw *error;
    int s = std::get<int>(bound);
    auto watched = std::make_unique<asio::ip::udp::socket>(loop);
    asio::error_code ec;
    watched->assign(asio::ip::udp::v4(), s, ec);
    if (ec) {
        ::close(s);
        throw ServerError(ServerError::Kind::socketFailed, ec.value());
    }
    fd = s;
    source = std::move(watched);
    armRead();
    log.info("dnsd listening on {}:{} — {} domains blocked", host, port, blocklist.count());
}

void DnsServer::stop() {
    asio::post(loop, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        asio::error_code ignored;
        if (self->source) self->source->close(ignored);  // closes the descriptor
        self->source.reset();
        self->fd = -1;
        if (self->listener) self->listener->close(ignored);
        self->listener.reset();
        while (!self->connections.empty()) {
            auto connection = self->connections.front();
            self->closeConnection(connection);
        }
    });
}

uint16_t DnsServer::boundPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// One query's failure (out of memory, say) must not stop the listener's loop.
template <typename Work>
void DnsServer::guarded(Work&& work) {
    try {
        work();
    } catch (const std::exception& error) {
        log.error("dns query failed: {}", error.what());
    }
}

void DnsServer::later(void (DnsServer::*member)()) {
    asio::post(loop, [weak = weak_from_this(), member] {
        if (auto self = weak.lock()) (self.get()->*member)();
    });
}

void DnsServer::armRead() {
    source->async_wait(asio::socket_base::wait_read,
                       [weak = weak_from_this()](const asio::error_code& ec) {
                           if (ec) return;
                           if (auto self = weak.lock()) self->drain();
                       });
}

void DnsServer::drain() {
    if (fd < 0) return;
    uint8_t buffer[4096] = {};
    for (int taken = 0; taken < drainBatch; ++taken) {
        sockaddr_storage client{};
        socklen_t clientLength = sizeof client;
        ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client),
                               &clientLength);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            armRead();
            return;
        }
        if (n == 0) break;  // an empty datagram ends this drain; others may still wait
        guarded([&] {
            handle(DnsMessage::Bytes(buffer, buffer + n), Client{client, clientLength, {}, false});
        });
    }
    // Readiness is signalled on edges: what is still queued will not wake us again, so
    // come back for it after the loop has run everything else that is due.
    later(&DnsServer::drain);
}

void DnsServer::handle(DnsMessage::Bytes query, const Client& client) {
    auto question = DnsMessage::extractQName(query);
    if (!question) return forward(std::move(query), client);
    const std::string& name = question->name;

    if (Blocklist::isDoHBypass(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client);
        log.info("blocked-doh {}", name);
        return;
    }
    if (Blocklist::isPrivateRelayBypass(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client);
        log.info("blocked-relay {}", name);
        return;
    }
    // Asked through us, public resolvers would name their encrypted endpoints, inviting
    // the client past the filter.
    if (isResolverDiscovery(name)) {
        if (auto answer = DnsMessage::nodataResponse(query)) send(*answer, client);
        log.info("refused resolver discovery {}", name);
        return;
    }
    if (blocklist.contains(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client);
        log.info("blocked {}", name);
        if (blockLog != nullptr) blockLog->record("adult", BlockEventLog::Clock::now());
        return;
    }
    if (auto target = SafeSearch::target(name)) {
        if (auto cname = DnsMessage::cnameResponse(query, *target, 300)) {
            log.info("safesearch {} -> {}", name, *target);
            return answerSafeSearch(query, std::move(*cname), *target, client);
        }
    }
    forward(std::move(query), client);
}

// Many stubs do not chase a CNAME that comes without the target's addresses, so the
// answer carries them: resolved upstream with the query's own type and class.
void DnsServer::answerSafeSearch(const DnsMessage::Bytes& query, DnsMessage::Bytes cname,
                                 std::string_view target, const Client& client) {
    auto typeAndClass = DnsMessage::questionTypeAndClass(query);
    if (!typeAndClass ||
        (typeAndClass->first != DnsMessage::typeA && typeAndClass->first != DnsMessage::typeAAAA)) {
        return send(cname, client);
    }
    uint16_t type = typeAndClass->first;
    uint16_t klass = typeAndClass->second;
    auto id = static_cast<uint16_t>(queryIds());
    forwarder.resolve(
        DnsMessage::buildQuery(id, target, type, klass),
        [weak = weak_from_this(), cname = std::move(cname), target = std::string(target), type,
         klass, client](std::optional<DnsMessage::Bytes> answer) {
            auto self = weak.lock();
            if (!self) return;
            if (answer) {
                auto records = DnsMessage::answerChain(*answer, target, type, klass);
                if (!records.empty()) {
                    auto full = DnsMessage::withAnswers(cname, records);
                    if (client.overTcp || full.size() <= classicUdpSize) {
                        return self->send(full, client);
                    }
                }
            }
            self->send(cname, client);
        },
        transportFor(client));
}

void DnsServer::forward(DnsMessage::Bytes query, const Client& client) {
    // The completion keeps its own copy of the query for the SERVFAIL.
    DnsMessage::Bytes copy = query;
    forwarder.resolve(
        std::move(query),
        [weak = weak_from_this(), query = std::move(copy), client](std::optional<DnsMessage::Bytes> answer) {
            auto self = weak.lock();
            if (!self) return;
            if (answer) return self->send(*answer, client);
            if (auto failure = DnsMessage::servfailResponse(query)) self->send(*failure, client);
        },
        transportFor(client));
}

void DnsServer::send(const DnsMessage::Bytes& data, const Client& client) {
    if (!client.overTcp) {
        if (fd < 0) return;
        ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&client.address),
                 client.length);
        return;
    }
    auto connection = client.connection.lock();
    if (!connection || connection->closed) return;
    --connection->inFlight;
    auto frame = framed(data);
    if (!frame) return;
    connection->outputBytes += frame->size();
    connection->output.push_back(std::move(*frame));
    flush(connection);
}

// ---- DNS over TCP

std::optional<DnsServer::ServerError> DnsServer::startTcp() { return startTcp(TcpLimits{}); }

std::optional<DnsServer::ServerError> DnsServer::startTcp(TcpLimits limits) {
    tcpLimits = limits;
    // The port UDP got, when it asked the system for one.
    auto bound = boundSocket(SOCK_STREAM, host, port == 0 ? boundPort() : port);
    if (auto* error = std::get_if<ServerError>(&bound)) return *error;
    int s = std::get<int>(bound);
    if (::listen(s, SOMAXCONN) != 0) {
        int error = errno;
        ::close(s);
        return ServerError(ServerError::Kind::listenFailed, error);
    }
    auto watched = std::make_unique<asio::ip::tcp::acceptor>(loop);
    asio::error_code ec;
    watched->assign(asio::ip::tcp::v4(), s, ec);
    if (ec) {
        ::close(s);
        return ServerError(ServerError::Kind::socketFailed, ec.value());
    }
    listener = std::move(watched);
    armAccept();
    return std::nullopt;
}

void DnsServer::armAccept() {
    listener->async_wait(asio::socket_base::wait_read,
                         [weak = weak_from_this()](const asio::error_code& ec) {
                             if (ec) return;
                             if (auto self = weak.lock()) self->acceptAll();
                         });
}

void DnsServer::acceptAll() {
    if (!listener) return;
    int listening = listener->native_handle();
    for (int taken = 0; taken < drainBatch; ++taken) {
#ifdef __APPLE__
        int accepted = ::accept(listening, nullptr, nullptr);
        if (accepted >= 0) {
            ::fcntl(accepted, F_SETFD, FD_CLOEXEC);
            ::fcntl(accepted, F_SETFL, ::fcntl(accepted, F_GETFL) | O_NONBLOCK);
        }
#else
        int accepted = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#endif
        if (accepted < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return armAccept();
            // Out of descriptors or memory: try again shortly rather than spin or stop.
            log.error("dns tcp accept failed: {}", std::strerror(errno));
            auto retry = std::make_shared<asio::steady_timer>(loop, std::chrono::milliseconds(100));
            retry->async_wait([weak = weak_from_this(), retry](const asio::error_code& ec) {
                if (auto self = weak.lock(); self && !ec) self->acceptAll();
            });
            return;
        }
        if (connections.size() >= tcpLimits.maxConnections) {
            std::shared_ptr<TcpConnection> oldest;
            for (const auto& connection : connections) {
                if (connection->idle() &&
                    (!oldest || connection->lastActivity < oldest->lastActivity)) {
                    oldest = connection;
                }
            }
            if (!oldest) {
                ::close(accepted);  // every connection is busy: refuse the new one
                continue;
            }
            closeConnection(oldest);
        }
        auto connection = std::make_shared<TcpConnection>(loop, accepted);
        asio::error_code ec;
        connection->watch.assign(asio::ip::tcp::v4(), accepted, ec);
        if (ec) {
            ::close(accepted);
            continue;
        }
        connections.push_back(connection);
        armIdleTimer(connection);
        readConnection(connection);
    }
    later(&DnsServer::acceptAll);
}

void DnsServer::readConnection(const std::shared_ptr<TcpConnection>& connection) {
    for (int reads = 0; reads < 16; ++reads) {
        if (connection->closed) return;
        ssize_t n = ::recv(connection->fd, streamBuffer, sizeof streamBuffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            connection->watch.async_wait(
                asio::socket_base::wait_read,
                [weak = weak_from_this(), connection](const asio::error_code& ec) {
                    auto self = weak.lock();
                    if (self && !ec && !connection->closed) self->readConnection(connection);
                });
            return;
        }
        if (n <= 0) return closeConnection(connection);  // closed by the peer, or failed
        auto now = std::chrono::steady_clock::now();
        connection->lastActivity = now;
        bool partialBefore = connection->reader.midMessage();
        bool completed = false;
        connection->reader.append(streamBuffer, static_cast<size_t>(n));
        while (auto message = connection->reader.next()) {
            completed = true;
            if (message->size() < DnsMessage::headerSize) continue;  // as on UDP: no answer
            ++connection->inFlight;
            guarded([&] { handle(std::move(*message), Client{{}, 0, connection, true}); });
            if (connection->closed) return;
        }
        if (connection->reader.midMessage() && (completed || !partialBefore)) {
            connection->messageStarted = now;
        }
    }
    // A busy connection yields to the rest of the loop now and then.
    asio::post(loop, [weak = weak_from_this(), connection] {
        auto self = weak.lock();
        if (self && !connection->closed) self->readConnection(connection);
    });
}

void DnsServer::flush(const std::shared_ptr<TcpConnection>& connection) {
    if (connection->closed || connection->waitingToWrite) return;
    if (connection->outputBytes > tcpLimits.maxPendingOutput) return closeConnection(connection);
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
        if (n < 0) return closeConnection(connection);
        connection->written += static_cast<size_t>(n);
        connection->lastActivity = std::chrono::steady_clock::now();
        if (connection->written == front.size()) {
            connection->outputBytes -= front.size();
            connection->output.pop_front();
            connection->written = 0;
        }
    }
}

// One timer per connection, re-armed only when it fires: it closes a connection idle
// for too long, or one whose message has not come whole in time.
void DnsServer::armIdleTimer(const std::shared_ptr<TcpConnection>& connection) {
    auto due = connection->reader.midMessage()
                   ? connection->messageStarted + tcpLimits.messageDeadline
                   : connection->lastActivity + tcpLimits.idleTimeout;
    connection->timer.expires_at(due);
    connection->timer.async_wait([weak = weak_from_this(), connection](const asio::error_code& ec) {
        auto self = weak.lock();
        if (!self || ec || connection->closed) return;
        auto now = std::chrono::steady_clock::now();
        bool lateMessage = connection->reader.midMessage() &&
                           now - connection->messageStarted >= self->tcpLimits.messageDeadline;
        bool quiet = connection->inFlight == 0 &&
                     now - connection->lastActivity >= self->tcpLimits.idleTimeout;
        if (lateMessage || quiet) return self->closeConnection(connection);
        self->armIdleTimer(connection);
    });
}

void DnsServer::closeConnection(const std::shared_ptr<TcpConnection>& connection) {
    if (connection->closed) return;
    connection->closed = true;
    asio::error_code ignored;
    connection->timer.cancel();
    connection->watch.close(ignored);  // closes the descriptor
    connections.remove(connection);
}

size_t DnsServer::tcpConnectionCount() const { return connections.size(); }

DnsForwarder::Transport DnsServer::transportFor(const Client& client) {
    return client.overTcp ? DnsForwarder::Transport::tcp : DnsForwarder::Transport::udp;
}
}  // namespace vesk
