#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk::test {

using Bytes = std::vector<uint8_t>;

// What a fake upstream does with one query: send these bytes after a delay, or nothing.
struct Reply {
    std::optional<Bytes> bytes;
    std::chrono::milliseconds delay{0};
};

// A DNS resolver stand-in on 127.0.0.1 (port chosen by the system, the same for UDP and
// TCP) that answers each query as its script says and records every query it received.
class FakeUpstream {
public:
    using Script = std::function<Reply(const Bytes& query)>;
    // For answers that depend on the transport the query came over.
    using TransportScript = std::function<Reply(const Bytes& query, bool overTcp)>;

    explicit FakeUpstream(Script behaviour)
        : FakeUpstream(TransportScript(
              [s = std::move(behaviour)](const Bytes& q, bool) { return s(q); })) {}
    explicit FakeUpstream(TransportScript behaviour) : script(std::move(behaviour)) {
        // The system picks a free UDP port; rarely its TCP twin is taken, then pick again.
        for (int attempt = 1; !bindBoth(); ++attempt) {
            ::close(udp), ::close(listener);
            if (attempt == 10) throw std::runtime_error("fake upstream: cannot bind");
        }
        worker = std::thread([this] { run(); });
    }
    ~FakeUpstream() {
        stopping = true;
        worker.join();
        for (const auto& [fd, in] : connections) ::close(fd);
        ::close(listener);
        ::close(udp);
    }
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;

    uint16_t port() const { return boundPort; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(boundPort); }
    // The queries that came over UDP, and those that came over TCP (without the framing).
    std::vector<Bytes> queries() const {
        std::lock_guard lock(mutex);
        return received;
    }
    std::vector<Bytes> tcpQueries() const {
        std::lock_guard lock(mutex);
        return receivedTcp;
    }

    // Scripts for the usual behaviours.
    static Script answering(std::function<Bytes(const Bytes&)> answer,
                            std::chrono::milliseconds delay = {}) {
        return [=](const Bytes& q) { return Reply{answer(q), delay}; };
    }
    static Script silent() {
        return [](const Bytes&) { return Reply{}; };
    }

    // A reply to the query: its bytes with QR and RA set and one A record 192.0.2.<last>
    // appended after the question (additional records of the query dropped).
    static Bytes addressAnswer(const Bytes& query, uint8_t last = 1) {
        Bytes answer = query;
        if (answer.size() < 12) return answer;
        size_t at = 12;
        while (at < answer.size() && answer[at] != 0) at += 1 + answer[at];
        at = std::min(at + 5, answer.size());
        answer.resize(at);
        answer[2] |= 0x80;
        answer[3] = 0x80;
        answer[6] = 0, answer[7] = 1, answer[8] = 0, answer[9] = 0, answer[10] = 0, answer[11] = 0;
        const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, last};
        answer.insert(answer.end(), std::begin(record), std::end(record));
        return answer;
    }

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        Bytes bytes;
        sockaddr_in to;
        int connection = -1;  // the TCP connection to answer on, -1 for a datagram
    };

    bool bindBoth() {
        udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int on = 1;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (udp < 0 || listener < 0 || ::bind(udp, raw, sizeof address) != 0 ||
            ::getsockname(udp, raw, &length) != 0) {
            throw std::runtime_error("fake upstream: cannot bind");
        }
        boundPort = ntohs(address.sin_port);
        return ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
               ::bind(listener, raw, sizeof address) == 0 && ::listen(listener, 64) == 0;
    }

    void handle(Bytes query, const sockaddr_in& from, int connection,
                std::vector<Pending>& pending) {
        {
            std::lock_guard lock(mutex);
            (connection < 0 ? received : receivedTcp).push_back(query);
        }
        Reply reply = script(query, connection >= 0);
        if (reply.bytes) {
            pending.push_back({std::chrono::steady_clock::now() + reply.delay,
                               std::move(*reply.bytes), from, connection});
        }
    }

    void run() {
        std::vector<Pending> pending;
        uint8_t buffer[65536];
        while (!stopping) {
            auto now = std::chrono::steady_clock::now();
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->due > now) {
                    ++it;
                    continue;
                }
                if (it->connection < 0) {
                    ::sendto(udp, it->bytes.data(), it->bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&it->to), sizeof it->to);
                } else {
                    auto size = static_cast<uint16_t>(it->bytes.size());
                    it->bytes.insert(it->bytes.begin(), {static_cast<uint8_t>(size >> 8),
                                                         static_cast<uint8_t>(size)});
                    ::send(it->connection, it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL);
                }
                it = pending.erase(it);
            }
            std::vector<pollfd> polls = {{udp, POLLIN, 0}, {listener, POLLIN, 0}};
            for (const auto& [fd, in] : connections) polls.push_back({fd, POLLIN, 0});
            if (::poll(polls.data(), polls.size(), 5) <= 0) continue;
            sockaddr_in from{};
            if (polls[0].revents != 0) {
                socklen_t length = sizeof from;
                ssize_t n = ::recvfrom(udp, buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &length);
                if (n >= 0) handle(Bytes(buffer, buffer + n), from, -1, pending);
            }
            for (size_t i = 2; i < polls.size(); ++i) {
                if (polls[i].revents == 0) continue;
                int fd = polls[i].fd;
                ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) {
                    std::erase_if(pending, [fd](const Pending& p) { return p.connection == fd; });
                    ::close(fd);
                    connections.erase(fd);
                    continue;
                }
                Bytes& in = connections[fd];
                in.insert(in.end(), buffer, buffer + n);
                while (in.size() >= 2 && in.size() >= 2 + (size_t{in[0]} << 8 | in[1])) {
                    auto end = in.begin() + 2 + (in[0] << 8 | in[1]);
                    handle(Bytes(in.begin() + 2, end), from, fd, pending);
                    in.erase(in.begin(), end);
                }
            }
            if (polls[1].revents != 0) {
                int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0) connections.emplace(fd, Bytes{});
            }
        }
    }

    TransportScript script;
    int udp = -1, listener = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<Bytes> received, receivedTcp;
    std::map<int, Bytes> connections;  // what each has sent so far; the worker's alone
    std::thread worker;
};

}  // namespace vesk::test
