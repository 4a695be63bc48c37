#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "tests/support/Socket.hpp"

namespace vesk::test {

using Bytes = std::vector<uint8_t>;

// What a fake upstream does with one query: send these bytes after a delay, or nothing.
// A datagram reply may come from elsewhere than the upstream's own address and port, as
// a forger's would.
struct Reply {
    enum class From { upstream, otherPort, otherAddress };
    std::optional<Bytes> bytes;
    std::chrono::milliseconds delay{0};
    From from = From::upstream;
};

// A DNS resolver stand-in on 127.0.0.1 (one port, chosen by the system, for UDP and TCP)
// that answers each query as its script says and records every query it received.
class FakeUpstream {
public:
    using Script = std::function<Reply(const Bytes& query, bool overTcp)>;

    explicit FakeUpstream(Script behaviour) : script(std::move(behaviour)) {
        // The system picks a free UDP port; rarely its TCP twin is taken, then pick again.
        for (int attempt = 1; !bindBoth(); ++attempt) {
            ::close(udp), ::close(listener);
            if (attempt == 10) throw std::runtime_error("fake upstream: cannot bind");
        }
        // The forgers: another port on this address, and this port on another address.
        sockaddr_in twin = loopback(boundPort);
        twin.sin_addr.s_addr = htonl(0x7F000002);
        otherPort = boundSocket(SOCK_DGRAM);
        otherAddress = boundSocket(SOCK_DGRAM, twin);
        worker = std::thread([this] { run(); });
    }
    ~FakeUpstream() {
        stopping = true;
        worker.join();
        for (const auto& [fd, in] : connections) ::close(fd);
        ::close(listener), ::close(udp), ::close(otherPort), ::close(otherAddress);
    }
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;

    uint16_t port() const { return boundPort; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(boundPort); }
    // The queries that came over UDP, and those that came over TCP (without the framing).
    std::vector<Bytes> queries() const { return received(false, &Received::query); }
    std::vector<Bytes> tcpQueries() const { return received(true, &Received::query); }
    // The source port of each query that came over UDP.
    std::vector<uint16_t> sourcePorts() const { return received(false, &Received::sourcePort); }
    // Replies sent so far; a datagram sent on loopback is already in its receiver's queue.
    size_t replies() const { return sent; }

    static Script answering(std::function<Bytes(const Bytes&)> answer, std::chrono::milliseconds delay = {}) {
        return [=](const Bytes& q, bool) { return Reply{answer(q), delay}; };
    }
    // Answers with addressAnswer(query, last).
    static Script address(uint8_t last, std::chrono::milliseconds delay = {}) {
        return answering([last](const Bytes& q) { return addressAnswer(q, last); }, delay);
    }
    static Script silent() {
        return [](const Bytes&, bool) { return Reply{}; };
    }

    // A reply to the query: its bytes with QR and RA set and one A record 192.0.2.<last>
    // after the question (additional records of the query dropped).
    static Bytes addressAnswer(const Bytes& query, uint8_t last = 1) {
        if (query.size() < 12) return query;
        size_t at = 12;
        while (at < query.size() && query[at] != 0) at += 1 + query[at];
        Bytes answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(std::min(at + 5, query.size())));
        answer[2] |= 0x80;
        answer[3] = 0x80;
        std::fill(answer.begin() + 6, answer.begin() + 12, uint8_t{0});
        answer[7] = 1;
        answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, last});
        return answer;
    }

private:
    struct Received {
        Bytes query;
        bool overTcp;
        uint16_t sourcePort;
    };
    struct Pending {
        Clock::time_point due;
        Bytes bytes;
        sockaddr_in to;
        int connection;  // the TCP connection to answer on, -1 for a datagram
        Reply::From source;
    };

    bool bindBoth() {
        udp = boundSocket(SOCK_DGRAM);
        listener = closeOnExec(::socket(AF_INET, SOCK_STREAM, 0), true);
        if ((boundPort = portOf(udp)) == 0) throw std::runtime_error("fake upstream: cannot bind");
        sockaddr_in address = loopback(boundPort);
        int on = 1;
        return ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
               ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener, 64) == 0;
    }

    template <typename Field>
    std::vector<Field> received(bool overTcp, Field Received::*field) const {
        std::lock_guard lock(mutex);
        std::vector<Field> out;
        for (const auto& entry : log) {
            if (entry.overTcp == overTcp) out.push_back(entry.*field);
        }
        return out;
    }

    void handle(Bytes query, const sockaddr_in& from, int connection) {
        {
            std::lock_guard lock(mutex);
            log.push_back({query, connection >= 0, ntohs(from.sin_port)});
        }
        Reply reply = script(query, connection >= 0);
        if (reply.bytes) pending.push_back({Clock::now() + reply.delay, *reply.bytes, from, connection, reply.from});
    }

    void sendDue() {
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due > Clock::now()) {
                ++it;
                continue;
            }
            if (it->connection < 0) {
                int from = it->source == Reply::From::otherPort      ? otherPort
                           : it->source == Reply::From::otherAddress ? otherAddress
                                                                     : udp;
                ::sendto(from, it->bytes.data(), it->bytes.size(), 0,
                         reinterpret_cast<sockaddr*>(&it->to), sizeof it->to);
            } else {
                auto size = static_cast<uint16_t>(it->bytes.size());
                it->bytes.insert(it->bytes.begin(), {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
                ::send(it->connection, it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL);
            }
            ++sent;
            it = pending.erase(it);
        }
    }

    void run() {
        uint8_t buffer[65536];
        while (!stopping) {
            sendDue();
            std::vector<pollfd> polls = {{udp, POLLIN, 0}, {listener, POLLIN, 0}};
            for (const auto& [fd, in] : connections) polls.push_back({fd, POLLIN, 0});
            if (::poll(polls.data(), polls.size(), 5) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(udp, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
            if (n >= 0) handle(Bytes(buffer, buffer + n), from, -1);
            for (size_t i = 2; i < polls.size(); ++i) {
                int fd = polls[i].fd;
                if (polls[i].revents == 0 || (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) < 0) continue;
                if (n == 0) {
                    std::erase_if(pending, [fd](const Pending& p) { return p.connection == fd; });
                    ::close(fd);
                    connections.erase(fd);
                    continue;
                }
                Bytes& in = connections[fd];
                in.insert(in.end(), buffer, buffer + n);
                while (in.size() >= 2 && in.size() >= 2 + size_t(in[0] << 8 | in[1])) {
                    auto end = in.begin() + 2 + (in[0] << 8 | in[1]);
                    handle(Bytes(in.begin() + 2, end), from, fd);
                    in.erase(in.begin(), end);
                }
            }
            int fd = closeOnExec(::accept(listener, nullptr, nullptr), true);
            if (fd >= 0) connections.emplace(fd, Bytes{});
        }
    }

    Script script;
    int udp = -1, listener = -1, otherPort = -1, otherAddress = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> sent{0};
    mutable std::mutex mutex;
    std::vector<Received> log;  // every query
    std::vector<Pending> pending;             // the worker's alone, like connections
    std::map<int, Bytes> connections;         // what each has sent so far
    std::thread worker;
};

}  // namespace vesk::test
