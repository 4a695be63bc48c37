#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <cstdint>
#include <memory>
#include <string>

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

}  // namespace vesk
