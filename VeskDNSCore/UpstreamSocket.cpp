#include "UpstreamSocket.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "VeskPlatform/Platform.hpp"
#if VESK_LINUX_PATHS
#include <linux/errqueue.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

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
    int fd = openSocket(AF_INET, SOCK_STREAM, 0, true);
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
    int fd = openSocket(AF_INET, SOCK_DGRAM, 0, true);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
#if VESK_LINUX_PATHS
    // An unconnected socket hears of a refusal only through its error queue.
    int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
#endif
    return fd;
}

bool watchOnLoop(asio::ip::udp::socket& socket, int fd, std::string& error) {
    return adopt(socket, fd, error);
}

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address);
    return to;
}

int sendToEach(int fd, DnsMessage::View query, const std::vector<sockaddr_in>& addresses,
               size_t first) {
#if VESK_LINUX_PATHS
    constexpr size_t most = 8;
    std::array<mmsghdr, most> messages{};
    iovec content{const_cast<uint8_t*>(query.data()), query.size()};
    size_t count = std::min(most, addresses.size() - first);
    for (size_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&addresses[first + i]);
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        messages[i].msg_hdr.msg_iov = &content;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
#else
    const sockaddr_in& to = addresses[first];
    return ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) < 0 ? -1 : 1;
#endif
}

std::vector<SendError> takeSendErrors(int fd) {
    std::vector<SendError> errors;
#if VESK_LINUX_PATHS
    for (;;) {
        SendError taken{};
        alignas(cmsghdr) char control[256];
        msghdr message{};
        message.msg_name = &taken.to;
        message.msg_namelen = sizeof taken.to;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
                sock_extended_err extended{};
                std::memcpy(&extended, CMSG_DATA(c), sizeof extended);
                taken.error = static_cast<int>(extended.ee_errno);
            }
        }
        if (taken.error != 0) errors.push_back(taken);
    }
#else
    (void)fd;
#endif
    return errors;
}

}  // namespace vesk
