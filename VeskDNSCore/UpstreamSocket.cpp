#include "UpstreamSocket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace vesk {
namespace {

int connectedSocket(uint32_t address, uint16_t port, int type) {
#ifdef SOCK_CLOEXEC
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
#else
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#endif
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

template <typename Socket>
std::unique_ptr<Socket> openUpstreamSocket(asio::io_context& loop, uint32_t address, uint16_t port,
                                           std::string& error) {
    int fd = connectedSocket(address, port, std::is_same_v<Socket, asio::ip::tcp::socket> ? SOCK_STREAM : SOCK_DGRAM);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    auto socket = std::make_unique<Socket>(loop);
    asio::error_code ec;
    socket->assign(Socket::protocol_type::v4(), fd, ec);
    if (!ec) return socket;
    ::close(fd);
    error = ec.message();
    return nullptr;
}

template std::unique_ptr<asio::ip::udp::socket> openUpstreamSocket(asio::io_context&, uint32_t, uint16_t, std::string&);
template std::unique_ptr<asio::ip::tcp::socket> openUpstreamSocket(asio::io_context&, uint32_t, uint16_t, std::string&);

}  // namespace vesk
