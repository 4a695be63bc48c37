#pragma once

#include <asio/io_context.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <variant>
#include <variant>

namespace vesk {

// Why a listener (DNS or the control API) could not start, with the errno of the failed call.
class ServerError : public std::exception {
public:
    enum class Kind { socketFailed, bindFailed, listenFailed };
    ServerError(Kind kind, int error);
    Kind kind() const { return errorKind; }
    int error() const { return errorNumber; }
    // "bind() failed: errno 98 (Address already in use)"
    const std::string& description() const { return text; }
    // The case with its errno: "bindFailed(98)".
    std::string caseText() const;
    const char* what() const noexcept override { return text.c_str(); }

private:
    Kind errorKind;
    int errorNumber;
    std::string text;
};

// A non-blocking, close-on-exec IPv4 socket bound to host:port (dotted-decimal text),
// listening when it is a stream, and watched by the loop; or the error. Watched is
// asio::ip::udp::socket or asio::ip::tcp::acceptor.
template <typename Watched>
std::variant<std::unique_ptr<Watched>, ServerError> listenOn(asio::io_context& loop, const std::string& host,
                                                            uint16_t port);

// The port a socket is bound to, or 0.
uint16_t boundPortOf(int fd);

}  // namespace vesk
