#include "UdpListener.hpp"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "VeskPlatform/ListenSocket.hpp"
#include "VeskPlatform/OnLoop.hpp"

namespace vesk {
namespace {

// Datagrams taken per wake-up before the loop gets to forwarded answers and deadlines.
constexpr size_t drainBatch = 64;
// The largest query read; the rest of a longer datagram is cut off.
constexpr size_t queryCapacity = 4096;

}  // namespace

#if VESK_LINUX_PATHS
// Answers made during a drain wait in slots of this size to be sent together; a larger
// one is sent at once.
constexpr size_t heldAnswerCapacity = 1232;
// Held answers go out once this many wait: one call per group still saves most of the
// calls, and the first answer of a long drain does not wait for the drain to end.
constexpr size_t heldAtMost = 8;

struct UdpListener::Batch {
    std::array<mmsghdr, drainBatch> in{};
    std::array<iovec, drainBatch> inVectors{};
    std::array<sockaddr_storage, drainBatch> from{};
    std::array<std::array<uint8_t, queryCapacity>, drainBatch> queries{};

    std::array<mmsghdr, heldAtMost> out{};
    std::array<iovec, heldAtMost> outVectors{};
    std::array<sockaddr_storage, heldAtMost> to{};
    std::array<std::array<uint8_t, heldAnswerCapacity>, heldAtMost> answers{};
    size_t held = 0;
    bool draining = false;
};
#else
struct UdpListener::Batch {};
#endif

UdpListener::UdpListener(asio::io_context& dnsLoop, QueryHandler& queries, Io io)
    : loop(dnsLoop), handler(queries) {
#if VESK_LINUX_PATHS
    if (io == Io::batched) batch = std::make_unique<Batch>();
#else
    (void)io;
#endif
}

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
    if (batch) return drainBatched();
    drainOneByOne();
}

void UdpListener::handle(DnsMessage::View query, Client client) {
    try {
        handler.handle(query, std::move(client));
    } catch (const std::exception& error) {
        // One query's failure (out of memory, say) must not stop the listener.
        log.error("dns query failed: {}", error.what());
    }
}

void UdpListener::drainOneByOne() {
    uint8_t buffer[queryCapacity] = {};
    for (size_t taken = 0; taken < drainBatch; ++taken) {
        Client client;
        client.channel = weak_from_this();
        client.length = sizeof client.address;
        ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                               reinterpret_cast<sockaddr*>(&client.address), &client.length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return armRead();  // drained: wait for the next datagram
        if (n == 0) break;  // an empty datagram ends this drain; others may still wait
        handle({buffer, static_cast<size_t>(n)}, std::move(client));
    }
    // Readiness is signalled on edges: what is still queued will not wake us again, so
    // come back for it after the loop has run everything else that is due.
    later(loop, weak_from_this(), &UdpListener::drain);
}

#if VESK_LINUX_PATHS
void UdpListener::drainBatched() {
    Batch& b = *batch;
    for (size_t i = 0; i < drainBatch; ++i) {
        b.inVectors[i] = {b.queries[i].data(), queryCapacity};
        b.in[i].msg_hdr = {};
        b.in[i].msg_hdr.msg_name = &b.from[i];
        b.in[i].msg_hdr.msg_namelen = sizeof b.from[i];
        b.in[i].msg_hdr.msg_iov = &b.inVectors[i];
        b.in[i].msg_hdr.msg_iovlen = 1;
    }
    int n = ::recvmmsg(fd, b.in.data(), static_cast<unsigned>(drainBatch), MSG_DONTWAIT, nullptr);
    if (n < 0 && errno == EINTR) return later(loop, weak_from_this(), &UdpListener::drain);
    if (n < 0) return armRead();  // drained: wait for the next datagram
    b.draining = true;
    auto taken = static_cast<size_t>(n);
    for (size_t i = 0; i < taken; ++i) {
        if (b.in[i].msg_len == 0) continue;  // an empty datagram gets no answer
        Client client;
        client.channel = weak_from_this();
        std::memcpy(&client.address, &b.from[i], b.in[i].msg_hdr.msg_namelen);
        client.length = b.in[i].msg_hdr.msg_namelen;
        handle({b.queries[i].data(), b.in[i].msg_len}, std::move(client));
    }
    b.draining = false;
    sendHeld();
    // Fewer than asked for: nothing was left queued, and the next datagram is a new edge.
    if (taken < drainBatch) return armRead();
    later(loop, weak_from_this(), &UdpListener::drain);
}

void UdpListener::sendHeld() {
    Batch& b = *batch;
    for (size_t next = 0; next < b.held;) {
        int sent = ::sendmmsg(fd, b.out.data() + next, static_cast<unsigned>(b.held - next), MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        // An answer that cannot go (buffer full, client gone) is dropped, as a lone
        // send's would be; the rest still go.
        next += sent > 0 ? static_cast<size_t>(sent) : 1;
    }
    b.held = 0;
}
#else
void UdpListener::drainBatched() { drainOneByOne(); }
#endif

void UdpListener::deliver(DnsMessage::View answer, const Client& client) {
    if (fd < 0) return;
#if VESK_LINUX_PATHS
    if (batch && batch->draining && answer.size() <= heldAnswerCapacity && batch->held < heldAtMost) {
        Batch& b = *batch;
        size_t i = b.held++;
        std::memcpy(b.answers[i].data(), answer.data(), answer.size());
        std::memcpy(&b.to[i], &client.address, client.length);
        b.outVectors[i] = {b.answers[i].data(), answer.size()};
        b.out[i].msg_hdr = {};
        b.out[i].msg_hdr.msg_name = &b.to[i];
        b.out[i].msg_hdr.msg_namelen = client.length;
        b.out[i].msg_hdr.msg_iov = &b.outVectors[i];
        b.out[i].msg_hdr.msg_iovlen = 1;
        if (b.held == heldAtMost) sendHeld();
        return;
    }
#endif
    ::sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&client.address),
             client.length);
}

}  // namespace vesk
