#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <memory>
#include <string>

#include "VeskDNSCore/QueryPipeline.hpp"
#include "VeskDNSCore/LogChannels.hpp"
#include "VeskPlatform/Platform.hpp"

namespace vesk {

// DNS over UDP: one socket, drained on the DNS loop, each datagram handed to the
// pipeline, answers sent from the same socket. Where the system can (Linux), a drain
// takes up to a batch of datagrams in one call and sends the answers made meanwhile a
// few to a call; elsewhere, or when asked, it takes and sends one at a time. Create it
// with std::make_shared: its handlers refer to it weakly.
class UdpListener final : public AnswerChannel, public std::enable_shared_from_this<UdpListener> {
public:
    enum class Io { batched, single };
    static constexpr Io bestIo() {
#if VESK_LINUX_PATHS
        return Io::batched;
#else
        return Io::single;
#endif
    }

    // The handler must outlive the listener.
    UdpListener(asio::io_context& loop, QueryHandler& handler, Io io = bestIo());
    ~UdpListener() override;

    // Opens, binds and starts receiving; throws ServerError. Call before the loop runs,
    // or on the loop.
    void start(const std::string& host, uint16_t port);
    // On the loop: stops receiving and closes the socket.
    void stop();
    uint16_t boundPort() const;

    void deliver(DnsMessage::View answer, const Client& client) override;

private:
    struct Batch;

    void armRead();
    void drain();
    void drainOneByOne();
    void drainBatched();
    void handle(DnsMessage::View query, Client client);
    void sendHeld();

    asio::io_context& loop;
    QueryHandler& handler;
    Log log{LogChannels::server};
    int fd = -1;
    std::unique_ptr<asio::ip::udp::socket> source;  // readiness of fd on the loop; owns it
    std::unique_ptr<Batch> batch;                   // none: one datagram at a time
};

}  // namespace vesk
