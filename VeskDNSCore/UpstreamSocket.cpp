#include "UpstreamSocket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

int openSocket(int type) {
#ifdef SOCK_CLOEXEC
    return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
#endif
}

// Hands fd to socket, which then owns it; closes it on failure.
template <typename Socket>
bool adopt(Socket& socket, int fd, std::string& error) {
    asio::error_code ec;
    socket.assign(Socket::protocol_type::v4(), fd, ec);
    if (!ec) return true;
    ::close(fd);
    error = ec.message();
    return false;
}

}  // namespace

std::unique_ptr<asio::ip::tcp::socket> connectUpstream(asio::io_context& loop, uint32_t address,
                                                       uint16_t port, std::string& error) {
    int fd = openSocket(SOCK_STREAM);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    auto socket = std::make_unique<asio::ip::tcp::socket>(loop);
    if (!adopt(*socket, fd, error)) return nullptr;
    return socket;
}

int openQuerySocket(std::string& error) {
    int fd = openSocket(SOCK_DGRAM);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
#ifdef IP_RECVERR
    // An unconnected socket hears of a refusal only through its error queue.
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
#endif
    return fd;
}

bool watchOnLoop(asio::ip::udp::socket& socket, int fd, std::string& error) {
    return adopt(socket, fd, error);
}

}  // namespace vesk
