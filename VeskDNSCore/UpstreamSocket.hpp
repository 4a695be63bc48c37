#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VeskDNSCore/DnsMessage.hpp"

namespace vesk {

// A non-blocking, close-on-exec TCP socket connecting to an upstream at address (IPv4,
// host order) and port, watched by the loop; the connection is still being made when
// this returns. None, with the reason in error, when it cannot be had.
std::unique_ptr<asio::ip::tcp::socket> connectUpstream(asio::io_context& loop, uint32_t address,
                                                       uint16_t port, std::string& error);

// A non-blocking, close-on-exec UDP socket for one forwarded query, not connected: it
// sends to every upstream, and the system gives it a fresh ephemeral port at the first
// send. Where the system can, it also reports upstreams that refuse (ICMP errors, on the
// error queue). -1, with the reason in error, when it cannot be had.
int openQuerySocket(std::string& error);

// Hands fd to socket, to be watched by the loop; the socket then owns it. Closes fd and
// says why in error when that fails.
bool watchOnLoop(asio::ip::udp::socket& socket, int fd, std::string& error);

// The socket address of an upstream at address (IPv4, host order) and port.
sockaddr_in socketAddress(uint32_t address, uint16_t port);

// Sends query from fd to the addresses from first on, as many as one system call takes:
// all of them where the system sends several datagrams at once, else one. Returns how
// many went, or -1 with errno when the first could not.
int sendToEach(int fd, DnsMessage::View query, const std::vector<sockaddr_in>& addresses,
               size_t first);

// An error that came back for a datagram sent earlier (an upstream's refusal, say).
struct SendError {
    sockaddr_in to;  // where the datagram was going
    int error;
};
// The errors queued on a query socket, taken off its queue; none where the system keeps
// no such queue.
std::vector<SendError> takeSendErrors(int fd);

}  // namespace vesk
