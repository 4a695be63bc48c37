#include "ListenSocket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {

ServerError::ServerError(Kind kind, int error) : errorKind(kind), errorNumber(error) {
    const char* call = kind == Kind::socketFailed ? "socket()"
                       : kind == Kind::bindFailed ? "bind()"
                                                  : "listen()";
    text = std::string(call) + " failed: errno " + std::to_string(error) + " (" +
           std::strerror(error) + ")";
}

std::variant<int, ServerError> openListeningSocket(int type, const std::string& host, uint16_t port) {
    using Kind = ServerError::Kind;
    int s = ::socket(AF_INET, type, 0);
    if (s < 0) return ServerError(Kind::socketFailed, errno);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);  // no tool we run may inherit a listener
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
        return ServerError(Kind::bindFailed, error);
    }
    return s;
}

uint16_t boundPortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace vesk
