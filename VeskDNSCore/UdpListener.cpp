#include "UdpListener.hpp"

#include <cerrno>

#include "VeskDNSCore/ListenSocket.hpp"
#include "VeskDNSCore/OnLoop.hpp"

namespace vesk {
namespace {

// Datagrams taken per wake-up before the loop gets to forwarded answers and deadlines.
constexpr int drainBatch = 64;

}  // namespace

UdpListener::UdpListener(asio::io_context& dnsLoop, QueryHandler& queries)
    : loop(dnsLoop), handler(queries) {}

UdpListener::~UdpListener() {
    asio::error_code ignored;
    if (source) source->close(ignored);
}

void UdpListener::start(const std::string& host, uint16_t port) {
    auto watched = listenOn<asio::ip::udp::socket>(loop, host, port);
    if (auto* error = std::get_if<ServerError>(&watched)) throw *error;
    source = std::move(std::get<0>(watched));
    fd = source->native_handle();
    armRead();
}

void UdpListener::stop() {
    asio::error_code ignored;
    if (source) source->close(ignored);  // closes the descriptor
    source.reset();
    fd = -1;
}

uint16_t UdpListener::boundPort() const { return boundPortOf(fd); }

void UdpListener::armRead() {
    source->async_wait(asio::socket_base::wait_read, whenReady(weak_from_this(), &UdpListener::drain));
}

void UdpListener::drain() {
    if (fd < 0) return;
    uint8_t buffer[4096] = {};
    for (int taken = 0; taken < drainBatch; ++taken) {
        Client client;
        client.channel = weak_from_this();
        client.length = sizeof client.address;
        ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                               reinterpret_cast<sockaddr*>(&client.address), &client.length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return armRead();  // drained: wait for the next datagram
        if (n == 0) break;  // an empty datagram ends this drain; others may still wait
        try {
            handler.handle({buffer, static_cast<size_t>(n)}, std::move(client));
        } catch (const std::exception& error) {
            // One query's failure (out of memory, say) must not stop the listener.
            log.error("dns query failed: {}", error.what());
        }
    }
    // Readiness is signalled on edges: what is still queued will not wake us again, so
    // come back for it after the loop has run everything else that is due.
    later(loop, weak_from_this(), &UdpListener::drain);
}

void UdpListener::deliver(DnsMessage::View answer, const Client& client) {
    if (fd < 0) return;
    ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&client.address),
             client.length);
}

}  // namespace vesk
