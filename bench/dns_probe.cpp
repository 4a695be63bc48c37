// Small network helpers for dns-throughput.
//
//   dns-probe --free-ports N
//       prints N distinct loopback ports, drawn at random from 20000-59999, that are free
//       for both UDP and TCP right now.
//   dns-probe --port PORT --name NAME [--host 127.0.0.1] [--rcode N] [--deadline S] [--pid PID]
//       asks for NAME's A record every few milliseconds until an answer arrives (with
//       response code N when given), then prints the wall-clock time of that answer in
//       nanoseconds since the epoch, as `date +%s%N` does. Exits 1 at the deadline
//       (default 10 s) and 2 as soon as process PID is gone, so that a server that fails
//       to start is noticed at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: dns-probe --free-ports N\n"
                 "       dns-probe --port PORT --name NAME [--host 127.0.0.1] [--rcode N] "
                 "[--deadline SECONDS] [--pid PID]\n");
    std::exit(2);
}

sockaddr_in loopback(uint16_t port, const std::string& host = "127.0.0.1") {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) usage();
    return address;
}

bool bindable(int type, uint16_t port, std::vector<int>& held) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return false;
    sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    held.push_back(fd);  // kept open until all are chosen, so that none is drawn twice
    return true;
}

int freePorts(long count) {
    std::random_device seed;
    std::mt19937 random(seed());
    std::vector<int> held;
    std::vector<uint16_t> ports;
    for (int tries = 0; static_cast<long>(ports.size()) < count && tries < 1000; ++tries) {
        auto port = static_cast<uint16_t>(20000 + random() % 40000);
        if (bindable(SOCK_DGRAM, port, held) && bindable(SOCK_STREAM, port, held)) {
            ports.push_back(port);
        }
    }
    for (int fd : held) close(fd);
    if (static_cast<long>(ports.size()) < count) {
        std::fprintf(stderr, "dns-probe: found only %zu free ports\n", ports.size());
        return 1;
    }
    for (uint16_t port : ports) std::printf("%u\n", port);
    return 0;
}

// Whether PID has exited; one that has exited but not yet been reaped counts as gone.
bool gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;  // no /proc here: trust kill()
    char stat[512] = {};
    size_t got = std::fread(stat, 1, sizeof stat - 1, f);
    std::fclose(f);
    const char* end = std::strrchr(stat, ')');
    return got > 0 && end && end[1] == ' ' && end[2] == 'Z';
}

std::vector<uint8_t> query(uint16_t id, const std::string& name) {
    std::vector<uint8_t> message = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
                                    0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        message.push_back(static_cast<uint8_t>(dot - start));
        message.insert(message.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                       name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    message.insert(message.end(), {0, 0, 1, 0, 1});  // root, type A, class IN
    return message;
}

int probe(const std::string& host, uint16_t port, const std::string& name, int rcode,
          double deadlineSeconds, pid_t pid) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(port, host);
    // Connected, so that a port nobody listens on yet fails at once instead of timing out.
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("dns-probe: connect");
        return 1;
    }
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(deadlineSeconds));
    uint16_t id = static_cast<uint16_t>(getpid());
    int lastRcode = -1;
    while (Clock::now() < deadline) {
        if (pid > 0 && gone(pid)) return 2;
        ++id;
        auto message = query(id, name);
        if (send(fd, message.data(), message.size(), 0) < 0) {
            usleep(2000);
            continue;
        }
        pollfd waiting{fd, POLLIN, 0};
        auto sent = Clock::now();
        while (Clock::now() - sent < std::chrono::milliseconds(50)) {
            if (poll(&waiting, 1, 5) <= 0) continue;
            uint8_t reply[4096];
            ssize_t got = recv(fd, reply, sizeof reply, 0);
            if (got < 0) {
                usleep(2000);  // refused: the server has not bound its port yet
                break;
            }
            if (got < 12 || reply[0] != (id >> 8) || reply[1] != (id & 0xFF)) continue;
            lastRcode = reply[3] & 0x0F;
            if (rcode >= 0 && lastRcode != rcode) break;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("%lld%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
            return 0;
        }
    }
    std::fprintf(stderr, "dns-probe: no %s answer for %s on port %u within %.1f s (last rcode %d)\n",
                 rcode >= 0 ? "matching" : "", name.c_str(), port, deadlineSeconds, lastRcode);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1", name;
    long port = -1, freeCount = 0, rcode = -1, pid = 0;
    double deadline = 10;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage();
        std::string value = argv[++i];
        if (option == "--free-ports") {
            freeCount = std::strtol(value.c_str(), nullptr, 10);
        } else if (option == "--port") {
            port = std::strtol(value.c_str(), nullptr, 10);
        } else if (option == "--host") {
            host = value;
        } else if (option == "--name") {
            name = value;
        } else if (option == "--rcode") {
            rcode = std::strtol(value.c_str(), nullptr, 10);
        } else if (option == "--deadline") {
            deadline = std::strtod(value.c_str(), nullptr);
        } else if (option == "--pid") {
            pid = std::strtol(value.c_str(), nullptr, 10);
        } else {
            usage();
        }
    }
    if (freeCount > 0) return freePorts(freeCount);
    if (port <= 0 || port > 65535 || name.empty() || deadline <= 0) usage();
    return probe(host, static_cast<uint16_t>(port), name, static_cast<int>(rcode), deadline,
                 static_cast<pid_t>(pid));
}
