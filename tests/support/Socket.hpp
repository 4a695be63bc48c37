#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk::test {

using Clock = std::chrono::steady_clock;
using SocketBytes = std::vector<uint8_t>;

// Polls the condition until it holds or the timeout passes; says whether it held.
template <typename Condition>
bool waitUntil(Condition condition, Clock::duration timeout = std::chrono::seconds(5)) {
    for (auto deadline = Clock::now() + timeout; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (Clock::now() >= deadline) return false;
    }
    return true;
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Waits until fd is readable or the time is up; says whether it is.
inline bool readable(int fd, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) > 0;
}

// fd, made close-on-exec (and non-blocking if asked) after the fact: macOS has no flags
// for it at socket(), accept() or pipe().
inline int closeOnExec(int fd, bool nonBlocking = false) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (fd >= 0 && nonBlocking) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// A close-on-exec socket of the type bound to the address (by default 127.0.0.1, on a port
// the system picks), or -1.
inline int boundSocket(int type, sockaddr_in address = loopback(0)) {
    int fd = closeOnExec(::socket(AF_INET, type, 0));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// The port fd is bound to; 0 when it has none.
inline uint16_t portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? ntohs(address.sin_port) : 0;
}

// A socket bound to 127.0.0.1, port chosen by the system; for datagrams, or to hold a port.
class Socket {
public:
    explicit Socket(int type = SOCK_DGRAM) : fd(boundSocket(type)), boundPort(portOf(fd)) {
        if (boundPort == 0) throw std::runtime_error("cannot bind a socket on 127.0.0.1");
    }
    ~Socket() { ::close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    uint16_t port() const { return boundPort; }
    void listen() const { ::listen(fd, 1); }
    void send(uint16_t to, const SocketBytes& datagram) const {
        sockaddr_in address = loopback(to);
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
    }
    // The next datagram, or none if nothing comes within the timeout.
    std::optional<SocketBytes> receive(Clock::duration timeout) const {
        for (auto deadline = Clock::now() + timeout; readable(fd, deadline);) {
            uint8_t buffer[65536];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n >= 0) return SocketBytes(buffer, buffer + n);
        }
        return std::nullopt;
    }

private:
    int fd;
    uint16_t boundPort = 0;
};

// A TCP connection to 127.0.0.1 that writes bytes as given and reads framed messages.
class TcpClient {
public:
    explicit TcpClient(uint16_t port) : fd(closeOnExec(::socket(AF_INET, SOCK_STREAM, 0))) {
        sockaddr_in address = loopback(port);
        int on = 1;  // each write its own segment
        if (fd < 0 || ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
        }
    }
    ~TcpClient() { ::close(fd); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    void write(const SocketBytes& bytes) const { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void write(std::string_view text) const { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Everything the peer sends until it closes; none if it has not closed within the timeout.
    std::optional<std::string> readToEnd(Clock::duration timeout) const {
        std::string out;
        for (auto deadline = Clock::now() + timeout;;) {
            if (!readable(fd, deadline)) return std::nullopt;
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return out;
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    // Whether the server closes the connection within the time given.
    bool closedWithin(Clock::duration wait) const {
        uint8_t byte;
        return readable(fd, Clock::now() + wait) && ::recv(fd, &byte, 1, 0) <= 0;
    }
    // The next message, or none if it is not complete within the timeout or the peer closes.
    std::optional<SocketBytes> receive(Clock::duration timeout) {
        for (auto deadline = Clock::now() + timeout;;) {
            if (in.size() >= 2 && in.size() >= 2 + static_cast<size_t>(in[0] << 8 | in[1])) {
                auto end = in.begin() + 2 + (in[0] << 8 | in[1]);
                SocketBytes message(in.begin() + 2, end);
                in.erase(in.begin(), end);
                return message;
            }
            if (!readable(fd, deadline)) return std::nullopt;
            uint8_t buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return std::nullopt;
            if (n > 0) in.insert(in.end(), buffer, buffer + n);
        }
    }

private:
    int fd;
    SocketBytes in;
};

}  // namespace vesk::test
