#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::test {

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A TCP connection to 127.0.0.1 that writes bytes as given and reads framed messages.
class TcpClient {
public:
    using Bytes = std::vector<uint8_t>;

    explicit TcpClient(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
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

    void write(const Bytes& bytes) const { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Whether the server closes the connection within the time given.
    bool closedWithin(std::chrono::milliseconds wait) const {
        pollfd p{fd, POLLIN, 0};
        uint8_t byte;
        return ::poll(&p, 1, static_cast<int>(wait.count())) == 1 && ::recv(fd, &byte, 1, 0) <= 0;
    }
    // The next message, or none if it is not complete within the timeout or the peer closes.
    std::optional<Bytes> receive(std::chrono::steady_clock::duration timeout) {
        for (auto deadline = std::chrono::steady_clock::now() + timeout;;) {
            if (in.size() >= 2 && in.size() >= 2 + static_cast<size_t>(in[0] << 8 | in[1])) {
                auto end = in.begin() + 2 + (in[0] << 8 | in[1]);
                Bytes message(in.begin() + 2, end);
                in.erase(in.begin(), end);
                return message;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) == 0) return {};
            uint8_t buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return {};
            if (n > 0) in.insert(in.end(), buffer, buffer + n);
        }
    }

private:
    int fd;
    Bytes in;
};

}  // namespace vesk::test
