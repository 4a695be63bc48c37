#include "ListenSocket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <cerrno>
#include <type_traits>
#include <cstring>

namespace vesk {

ServerError::ServerError(Kind kind, int error) : errorKind(kind), errorNumber(error) {
    const char* call = kind == Kind::socketFailed ? "socket()"
                       : kind == Kind::bindFailed ? "bind()"
                                                  : "listen()";
    text = std::string(call) + " failed: errno " + std::to_string(error) + " (" +
           std::strerror(error) + ")";
}

std::string ServerError::caseText() const {
    const char* name = errorKind == Kind::socketFailed ? "socketFailed"
                       : errorKind == Kind::bindFailed ? "bindFailed"
                                                       : "listenFailed";
    return std::string(name) + "(" + std::to_string(errorNumber) + ")";
}

namespace {

std::variant<int, ServerError> openListeningSocket(int type, const std::string& host, uint16_t port) {
    using Kind = ServerError::Kind;
    int s = ::socket(AF_INET, type, 0);
    if (s < 0) return ServerError(Kind::socketFailed, errno);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);  // no tool we run may inherit a listener
    // TCP listeners take their port back at once after a restart, past the old
    // connections' TIME_WAIT. On Linux the option would also let any process that sets it
    // bind the very same UDP address and take our queries, so there UDP goes without it;
    // under BSD rules it is what lets us bind 127.0.0.1 beside a wildcard listener, and a
    // later wildcard bind never takes a more specific address's traffic.
#ifdef __linux__
    bool reuse = type == SOCK_STREAM;
#else
    bool reuse = true;
#endif
    int one = 1;
    if (reuse) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Room for a burst of datagrams while the loop is held up (the processor busy with a
    // list being built): the system caps it at what it allows, which is fine.
    int buffer = 1 << 20;
    if (type == SOCK_DGRAM) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
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
    if (type == SOCK_STREAM && ::listen(s, SOMAXCONN) != 0) {
        int error = errno;
        ::close(s);
        return ServerError(Kind::listenFailed, error);
    }
    return s;
}

}  // namespace

template <typename Watched>
std::variant<std::unique_ptr<Watched>, ServerError> listenOn(asio::io_context& loop, const std::string& host,
                                                            uint16_t port) {
    constexpr bool stream = std::is_same_v<Watched, asio::ip::tcp::acceptor>;
    auto bound = openListeningSocket(stream ? SOCK_STREAM : SOCK_DGRAM, host, port);
    if (auto* error = std::get_if<ServerError>(&bound)) return *error;
    int s = std::get<int>(bound);
    auto watched = std::make_unique<Watched>(loop);
    asio::error_code ec;
    watched->assign(Watched::protocol_type::v4(), s, ec);
    if (!ec) return watched;
    ::close(s);
    return ServerError(ServerError::Kind::socketFailed, ec.value());
}

template std::variant<std::unique_ptr<asio::ip::udp::socket>, ServerError> listenOn(asio::io_context&,
                                                                                    const std::string&, uint16_t);
template std::variant<std::unique_ptr<asio::ip::tcp::acceptor>, ServerError> listenOn(asio::io_context&,
                                                                                     const std::string&, uint16_t);

uint16_t boundPortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

}  // namespace vesk
