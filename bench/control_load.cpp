// Load for the control API, for bench/control-api.
//
//   control-load --port PORT [--seconds S] [--clients K] [--idle N] [--toggle PIN] [--pair P]
//
// Holds N idle connections open (each reopened as soon as the server closes it) while K
// clients ask GET /status back to back, each on a fresh connection, for S seconds; with
// --toggle, one more client turns filtering on and off (with the PIN) back to back; with
// --pair, P more clients ask POST /pair back to back. Prints one line: requests answered
// 200, failures, the rate, the p50, p99 and greatest latency in microseconds, idle
// connections reopened, on-off rounds done, and pairings turned away busy (429) and
// answered otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/Loopback.hpp"

namespace {

using Clock = std::chrono::steady_clock;

using vesk::bench::connectTo;

// A POST with a JSON body, as the companion sends it.
std::string post(const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One request on a fresh connection; the answer's status, 0 for none.
int ask(uint16_t port, const std::string& request) {
    int fd = connectTo(port);
    if (fd < 0) return 0;
    bool sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    char buffer[1024];
    for (ssize_t n; sent && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return answer.starts_with("HTTP/1.1 ") && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

// Keeps count connections open and idle until stop, reopening those the server closes.
void holdIdle(uint16_t port, size_t count, const std::atomic<bool>& stop, std::atomic<long>& reopened) {
    std::vector<pollfd> fds;
    for (size_t i = 0; i < count; ++i) fds.push_back({connectTo(port), POLLIN, 0});
    while (!stop) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (auto& entry : fds) {
            if (entry.revents == 0) continue;
            ::close(entry.fd);
            entry = {connectTo(port), POLLIN, 0};
            ++reopened;
        }
    }
    for (auto& entry : fds) ::close(entry.fd);
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 0;
    double seconds = 10;
    int clients = 4;
    size_t idle = 1000;
    std::string togglePin;  // empty: no toggling
    int pairers = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--port") port = static_cast<uint16_t>(std::atoi(argv[i + 1]));
        else if (option == "--seconds") seconds = std::atof(argv[i + 1]);
        else if (option == "--clients") clients = std::atoi(argv[i + 1]);
        else if (option == "--idle") idle = static_cast<size_t>(std::atol(argv[i + 1]));
        else if (option == "--toggle") togglePin = argv[i + 1];
        else if (option == "--pair") pairers = std::atoi(argv[i + 1]);
    }
    if (port == 0) {
        std::fprintf(stderr, "usage: control-load --port PORT [--seconds S] [--clients K] [--idle N] [--toggle PIN] [--pair P]\n");
        return 2;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> reopened{0};
    std::thread idler(holdIdle, port, idle, std::cref(stop), std::ref(reopened));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let them all connect

    std::mutex mutex;  // guards latencies and failures
    std::vector<double> latencies;
    long failures = 0;
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> askers;
    // Filtering turned on and off back to back, with the PIN, beside the status clients.
    std::atomic<long> toggles{0};
    if (!togglePin.empty()) {
        askers.emplace_back([&] {
            const std::string on = post("/enable", "{}"), off = post("/disable", "{\"pin\":\"" + togglePin + "\"}");
            while (Clock::now() < end) toggles += ask(port, on) == 200 && ask(port, off) == 200;
        });
    }
    std::atomic<long> pairsBusy{0}, pairsOther{0};
    for (int p = 0; p < pairers; ++p) {
        askers.emplace_back([&] {
            const std::string pair = post("/pair", R"({"refreshToken":"bench"})");
            while (Clock::now() < end) ++(ask(port, pair) == 429 ? pairsBusy : pairsOther);
        });
    }
    static const std::string status = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int c = 0; c < clients; ++c) {
        askers.emplace_back([&] {
            std::vector<double> mine;
            long failed = 0;
            while (Clock::now() < end) {
                auto start = Clock::now();
                bool ok = ask(port, status) == 200;
                double took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                ok ? mine.push_back(took) : static_cast<void>(++failed);
            }
            std::lock_guard lock(mutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
            failures += failed;
        });
    }
    for (auto& asker : askers) asker.join();
    stop = true;
    idler.join();
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
    std::printf("answered %zu failed %ld rate %.0f p50_us %.0f p99_us %.0f idle_reopened %ld toggles %ld max_us %.0f "
                "pair_busy %ld pair_other %ld\n",
                latencies.size(), failures, static_cast<double>(latencies.size()) / seconds, at(0.5), at(0.99),
                reopened.load(), toggles.load(), at(1.0), pairsBusy.load(), pairsOther.load());
    return 0;
}
