#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <memory>
#include <string>

#include "VeskDNSCore/QueryPipeline.hpp"

namespace vesk {

// DNS over UDP: one socket, drained on the DNS loop, each datagram handed to the
// pipeline, answers sent from the same socket. Create it with std::make_shared: its
// handlers refer to it weakly.
class UdpListener final : public AnswerChannel, public std::enable_shared_from_this<UdpListener> {
public:
    // The handler must outlive the listener.
    UdpListener(asio::io_context& loop, QueryHandler& handler);
    ~UdpListener() override;

    // Opens, binds and starts receiving; throws ServerError. Call before the loop runs,
    // or on the loop.
    void start(const std::string& host, uint16_t port);
    // On the loop: stops receiving and closes the socket.
    void stop();
    uint16_t boundPort() const;

    void deliver(DnsMessage::View answer, const Client& client) override;

private:
    void armRead();
    void drain();

    asio::io_context& loop;
    QueryHandler& handler;
    Log log{LogChannels::server};
    int fd = -1;
    std::unique_ptr<asio::ip::udp::socket> source;  // readiness of fd on the loop; owns it
};

}  // namespace vesk
