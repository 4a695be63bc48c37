#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

// A DNS resolver stand-in on 127.0.0.1 (port chosen by the system) that answers each
// query as its script says and records every query it received.
class FakeUpstream {
public:
    using Script = std::function<Reply(const Bytes& query)>;

    explicit FakeUpstream(Script behaviour) : script(std::move(behaviour)) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("fake upstream: cannot bind");
        }
        boundPort = ntohs(address.sin_port);
        worker = std::thread([this] { run(); });
    }
    ~FakeUpstream() {
        stopping = true;
        worker.join();
        ::close(fd);
    }
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;

    uint16_t port() const { return boundPort; }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(boundPort); }
    std::vector<Bytes> queries() const {
        std::lock_guard lock(mutex);
        return received;
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
    };

    void run() {
        std::vector<Pending> pending;
        while (!stopping) {
            auto now = std::chrono::steady_clock::now();
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->due <= now) {
                    ::sendto(fd, it->bytes.data(), it->bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&it->to), sizeof it->to);
                    it = pending.erase(it);
                } else {
                    ++it;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0) continue;
            uint8_t buffer[65536];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                   &length);
            if (n < 0) continue;
            Bytes query(buffer, buffer + n);
            {
                std::lock_guard lock(mutex);
                received.push_back(query);
            }
            Reply reply = script(query);
            if (reply.bytes) {
                pending.push_back({std::chrono::steady_clock::now() + reply.delay,
                                   std::move(*reply.bytes), from});
            }
        }
    }

    Script script;
    int fd = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<Bytes> received;
    std::thread worker;
};

}  // namespace vesk::test
