#include "DnsServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <cerrno>
#include <cstring>

#include "VeskDNSCore/SafeSearch.hpp"

namespace vesk {
namespace {

// Datagrams taken per wake-up before the loop gets to forwarded answers and deadlines.
constexpr int drainBatch = 64;
// Without an OPT record in our answer, a client may expect no more than this.
constexpr size_t classicUdpSize = 512;

}  // namespace

DnsServer::ServerError::ServerError(Kind kind, int error) : errorKind(kind), errorNumber(error) {
    text = std::string(kind == Kind::socketFailed ? "socket()" : "bind()") + " failed: errno " +
           std::to_string(error) + " (" + std::strerror(error) + ")";
}

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
    if (source) {
        asio::error_code ignored;
        source->close(ignored);
    }
}

void DnsServer::start() {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) throw ServerError(ServerError::Kind::socketFailed, errno);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);  // no tool we run may inherit the listener
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
        throw ServerError(ServerError::Kind::bindFailed, error);
    }
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
        if (!self || !self->source) return;
        asio::error_code ignored;
        self->source->close(ignored);  // closes the descriptor
        self->source.reset();
        self->fd = -1;
    });
}

uint16_t DnsServer::boundPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
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
        handle(DnsMessage::Bytes(buffer, buffer + n), client, clientLength);
    }
    // Readiness is signalled on edges: what is still queued will not wake us again, so
    // come back for it after the loop has run everything else that is due.
    asio::post(loop, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->drain();
    });
}

void DnsServer::handle(DnsMessage::Bytes query, const sockaddr_storage& client,
                       socklen_t clientLength) {
    auto question = DnsMessage::extractQName(query);
    if (!question) return forward(std::move(query), client, clientLength);
    const std::string& name = question->name;

    if (Blocklist::isDoHBypass(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client, clientLength);
        log.info("blocked-doh {}", name);
        return;
    }
    if (Blocklist::isPrivateRelayBypass(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client, clientLength);
        log.info("blocked-relay {}", name);
        return;
    }
    if (blocklist.contains(name)) {
        if (auto answer = DnsMessage::nxdomainResponse(query)) send(*answer, client, clientLength);
        log.info("blocked {}", name);
        if (blockLog != nullptr) blockLog->record("adult", BlockEventLog::Clock::now());
        return;
    }
    if (auto target = SafeSearch::target(name)) {
        if (auto cname = DnsMessage::cnameResponse(query, *target, 300)) {
            log.info("safesearch {} -> {}", name, *target);
            return answerSafeSearch(query, std::move(*cname), *target, client, clientLength);
        }
    }
    forward(std::move(query), client, clientLength);
}

// Many stubs do not chase a CNAME that comes without the target's addresses, so the
// answer carries them: resolved upstream with the query's own type and class.
void DnsServer::answerSafeSearch(const DnsMessage::Bytes& query, DnsMessage::Bytes cname,
                                 std::string_view target, const sockaddr_storage& client,
                                 socklen_t clientLength) {
    auto typeAndClass = DnsMessage::questionTypeAndClass(query);
    if (!typeAndClass ||
        (typeAndClass->first != DnsMessage::typeA && typeAndClass->first != DnsMessage::typeAAAA)) {
        return send(cname, client, clientLength);
    }
    uint16_t type = typeAndClass->first;
    uint16_t klass = typeAndClass->second;
    auto id = static_cast<uint16_t>(queryIds());
    forwarder.resolve(
        DnsMessage::buildQuery(id, target, type, klass),
        [weak = weak_from_this(), cname = std::move(cname), target = std::string(target), type,
         klass, client, clientLength](std::optional<DnsMessage::Bytes> answer) {
            auto self = weak.lock();
            if (!self) return;
            if (answer) {
                auto records = DnsMessage::answerChain(*answer, target, type, klass);
                if (!records.empty()) {
                    auto full = DnsMessage::withAnswers(cname, records);
                    if (full.size() <= classicUdpSize) return self->send(full, client, clientLength);
                }
            }
            self->send(cname, client, clientLength);
        });
}

void DnsServer::forward(DnsMessage::Bytes query, const sockaddr_storage& client,
                        socklen_t clientLength) {
    // The completion keeps its own copy of the query for the SERVFAIL.
    DnsMessage::Bytes copy = query;
    forwarder.resolve(std::move(query), [weak = weak_from_this(), query = std::move(copy), client,
                                         clientLength](std::optional<DnsMessage::Bytes> answer) {
        auto self = weak.lock();
        if (!self) return;
        if (answer) return self->send(*answer, client, clientLength);
        if (auto failure = DnsMessage::servfailResponse(query)) self->send(*failure, client, clientLength);
    });
}

void DnsServer::send(const DnsMessage::Bytes& data, const sockaddr_storage& to,
                     socklen_t length) const {
    if (fd < 0) return;
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), length);
}

}  // namespace vesk
