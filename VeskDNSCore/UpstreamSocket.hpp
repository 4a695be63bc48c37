#pragma once

#include <asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace vesk {

// A non-blocking, close-on-exec socket (asio's udp or tcp socket) connected to an upstream
// at address (IPv4, host order) and port, and watched by the loop. Over UDP the kernel
// then hands us only that upstream's datagrams, and each socket has a fresh ephemeral
// source port; over TCP the connection is still being made when this returns. None, with
// the reason in error, when it cannot be had (out of descriptors, no route).
template <typename Socket>
std::unique_ptr<Socket> openUpstreamSocket(asio::io_context& loop, uint32_t address, uint16_t port,
                                           std::string& error);

}  // namespace vesk
