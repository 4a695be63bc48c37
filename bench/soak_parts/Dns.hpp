#pragma once

// The soak's DNS side: upstreams that misbehave in turns, paced queries whose every answer
// is timed, and malformed datagrams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vesk::soak {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

inline int udpSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);  // the daemon the soak starts inherits none of its sockets
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    return fd;
}

inline uint16_t portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

inline void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

inline std::vector<uint8_t> query(uint16_t id, const std::string& name) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find('.', start), name.size());
        out.push_back(static_cast<uint8_t>(end - start));
        out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(end));
        start = end + 1;
    }
    out.insert(out.end(), {0, 0, 1, 0, 1});
    return out;
}

// An upstream that, in turns of `phase`, answers, stays silent, or answers with the wrong
// ID; `offset` shifts its turns against the other upstream's.
class Upstream {
public:
    Upstream(Clock::duration turn, int shift) : phase(turn), offset(shift), fd(udpSocket()) {
        worker = std::thread([this] { run(); });
    }
    ~Upstream() {
        stopping = true;
        worker.join();
        ::close(fd);
    }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(portOf(fd)); }

private:
    void run() {
        auto start = Clock::now();
        std::array<uint8_t, 4096> buffer{};
        while (!stopping) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 12) continue;
            long mode = ((Clock::now() - start) / phase + offset) % 3;
            if (mode == 1) continue;  // silent
            buffer[2] = static_cast<uint8_t>(buffer[2] | 0x80);
            buffer[3] = 0x80;
            if (mode == 2) buffer[1] = static_cast<uint8_t>(buffer[1] ^ 0x55);
            ::sendto(fd, buffer.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    const Clock::duration phase;
    const int offset;
    const int fd;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

// Paced queries, half of them for blocked names, each timed from sending to its answer.
class DnsLoad {
public:
    struct Figures {
        long sent = 0, answered = 0, late = 0, unanswered = 0;
        double worstSeconds = 0;
    };

    DnsLoad(uint16_t port, int perSecond) : daemonPort(port), rate(perSecond), fd(udpSocket()) {
        for (auto& slot : sentAt) slot = 0;
        sender = std::thread([this] { send(); });
        receiver = std::thread([this] { receive(); });
    }
    ~DnsLoad() { stop(); }

    // Stops sending, gives the last answers their deadline, and counts.
    Figures stop() {
        if (!stopping.exchange(true)) {
            sender.join();
            std::this_thread::sleep_for(3s);
            finished = true;
            receiver.join();
            sweep(0);
            ::close(fd);
        }
        return {sent, answered, late, unanswered, static_cast<double>(worstNs) / 1e9};
    }

private:
    void send() {
        auto next = Clock::now();
        for (long n = 0; !stopping; ++n) {
            uint16_t id = static_cast<uint16_t>(n);
            std::string name = n % 2 ? "q" + std::to_string(n) + ".adult.example" : "q" + std::to_string(n) + ".example.com";
            sentAt[id] = nowNs();
            sendTo(fd, daemonPort, query(id, name));
            ++sent;
            if (n % 1000 == 0) sweep(3'000'000'000);
            next += std::chrono::nanoseconds(1'000'000'000 / rate);
            std::this_thread::sleep_until(next);
        }
    }
    void receive() {
        std::array<uint8_t, 4096> buffer{};
        while (!finished) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) continue;
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 12) continue;
            uint16_t id = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
            int64_t at = sentAt[id].exchange(0);
            if (at == 0) continue;
            int64_t took = nowNs() - at;
            ++answered;
            if (took > 2'500'000'000) ++late;
            for (int64_t worst = worstNs; took > worst && !worstNs.compare_exchange_weak(worst, took);) {
            }
        }
    }
    // Queries older than `olderThan` ns that have no answer count as unanswered.
    void sweep(int64_t olderThan) {
        int64_t cutoff = nowNs() - olderThan;
        for (auto& slot : sentAt) {
            int64_t at = slot.load();
            if (at != 0 && at < cutoff && slot.compare_exchange_strong(at, 0)) ++unanswered;
        }
    }

    const uint16_t daemonPort;
    const int rate;
    const int fd;
    std::array<std::atomic<int64_t>, 65536> sentAt;
    std::atomic<long> sent{0}, answered{0}, late{0}, unanswered{0};
    std::atomic<int64_t> worstNs{0};
    std::atomic<bool> stopping{false}, finished{false};
    std::thread sender, receiver;
};

// Datagrams that are not DNS, or not quite: short, random, or with a name that runs off.
inline void malformedDatagrams(uint16_t port, const std::atomic<bool>& stop, std::atomic<long>& count, int perMinute) {
    int fd = udpSocket();
    std::mt19937 random(7);
    auto next = Clock::now();
    std::array<uint8_t, 512> drain{};
    while (!stop) {
        std::vector<uint8_t> bytes(random() % 300);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        if (bytes.size() > 13 && random() % 2) bytes[2] = 1, bytes[5] = 1, bytes[12] = 63;  // a label past the end
        sendTo(fd, port, bytes);
        ++count;
        while (::recv(fd, drain.data(), drain.size(), MSG_DONTWAIT) > 0) {
        }
        next += std::chrono::microseconds(60'000'000 / perMinute);
        std::this_thread::sleep_until(next);
    }
    ::close(fd);
}

}  // namespace vesk::soak
