#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <variant>
#include <variant>

namespace vesk {

// Why a DNS listener could not start, with the errno of the failed call.
class ServerError : public std::exception {
public:
    enum class Kind { socketFailed, bindFailed, listenFailed };
    ServerError(Kind kind, int error);
    Kind kind() const { return errorKind; }
    int error() const { return errorNumber; }
    // "bind() failed: errno 98 (Address already in use)"
    const std::string& description() const { return text; }
    const char* what() const noexcept override { return text.c_str(); }

private:
    Kind errorKind;
    int errorNumber;
    std::string text;
};

// A bound, non-blocking, close-on-exec IPv4 socket of the type (SOCK_DGRAM or
// SOCK_STREAM) on host:port, or the error. The host must be dotted-decimal IPv4 text.
std::variant<int, ServerError> openListeningSocket(int type, const std::string& host, uint16_t port);

// The port a socket is bound to, or 0.
uint16_t boundPortOf(int fd);

}  // namespace vesk
