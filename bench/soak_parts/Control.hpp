#pragma once

// The soak's control-API side: status polls, enable/disable toggles, PIN brute force,
// idle connections and malformed requests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/Loopback.hpp"

namespace vesk::soak {

using json = nlohmann::json;

using bench::connectTo;

struct Answer {
    int status = 0;  // 0: none came
    json body;
};

// One well-formed request; the answer read until the server closes, 20 s at most.
inline Answer call(uint16_t port, const std::string& method, const std::string& path, const json& body = json::object()) {
    int fd = connectTo(port);
    if (fd < 0) return {};
    std::string text = method == "POST" ? body.dump() : "";
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
                          "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    char buffer[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 200) <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        response.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t split = response.find("\r\n\r\n");
    if (response.size() < 12 || split == std::string::npos) return {};
    return {std::stoi(response.substr(9, 3)), json::parse(response.substr(split + 4), nullptr, false)};
}

// What the control side saw; every well-formed request must have been answered.
struct ControlFigures {
    std::atomic<long> requests{0}, unanswered{0}, unexpected{0};
    std::atomic<long> bruteRounds{0}, lockoutMissed{0}, malformed{0}, idleReopened{0};
    std::mutex firstProblemMutex;  // guards firstProblem
    std::string firstProblem;

    void problem(const std::string& what) {
        ++unexpected;
        std::lock_guard lock(firstProblemMutex);
        if (firstProblem.empty()) firstProblem = what;
    }
    Answer expect(uint16_t port, const std::string& method, const std::string& path, const json& body,
                  std::initializer_list<int> statuses) {
        ++requests;
        Answer answer = call(port, method, path, body);
        if (answer.status == 0) {
            ++unanswered;
            problem(method + " " + path + ": no answer");
        } else if (std::find(statuses.begin(), statuses.end(), answer.status) == statuses.end()) {
            problem(method + " " + path + ": " + std::to_string(answer.status) + " " + answer.body.dump());
        }
        return answer;
    }
};

inline void sleepUnless(const std::atomic<bool>& stop, std::chrono::milliseconds total) {
    for (auto end = std::chrono::steady_clock::now() + total; !stop && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Five wrong PINs in a row must lock every check for 300 s, every round. Toggles take the
// same mutex, so that a correct PIN never lands inside a round.
inline void bruteForce(uint16_t port, const std::atomic<bool>& stop, std::mutex& pinTurn, ControlFigures& figures) {
    using std::chrono::steady_clock;
    while (!stop) {
        steady_clock::time_point lockedAt;
        {
            std::lock_guard turn(pinTurn);
            bool engaged = true;
            for (int attempt = 1; attempt <= 5; ++attempt) {
                auto answer = figures.expect(port, "POST", "/verify-pin", {{"pin", "0000"}}, {403, 423});
                json wanted = attempt < 5 ? json{{"error", "wrong_pin"}, {"remaining", 5 - attempt}}
                                          : json{{"error", "locked"}, {"seconds", 300}};
                engaged = engaged && answer.body == wanted;
            }
            lockedAt = steady_clock::now();
            ++figures.bruteRounds;
            if (!engaged) ++figures.lockoutMissed;
        }
        // While locked, guesses are refused without counting; the next round starts once
        // the lock-out has passed.
        while (!stop && steady_clock::now() < lockedAt + std::chrono::seconds(280)) {
            figures.expect(port, "POST", "/verify-pin", {{"pin", "1111"}}, {423});
            sleepUnless(stop, std::chrono::milliseconds(5000));
        }
        while (!stop && steady_clock::now() < lockedAt + std::chrono::seconds(302)) {
            sleepUnless(stop, std::chrono::milliseconds(500));
        }
    }
}

inline void toggles(uint16_t port, const std::atomic<bool>& stop, std::mutex& pinTurn, ControlFigures& figures) {
    while (!stop) {
        figures.expect(port, "POST", "/enable", json::object(), {200});
        sleepUnless(stop, std::chrono::milliseconds(1500));
        {
            std::lock_guard turn(pinTurn);
            figures.expect(port, "POST", "/disable", {{"pin", "2468"}}, {200, 423});
        }
        sleepUnless(stop, std::chrono::milliseconds(1500));
    }
}

inline void statusPolls(uint16_t port, const std::atomic<bool>& stop, ControlFigures& figures) {
    while (!stop) {
        figures.expect(port, "GET", "/status", {}, {200});
        figures.expect(port, "GET", "/events", {}, {200});
        sleepUnless(stop, std::chrono::milliseconds(1000));
    }
}

// Connections that never send a request, reopened as the server's deadline closes them.
inline void idleConnections(uint16_t port, size_t count, const std::atomic<bool>& stop, ControlFigures& figures) {
    std::vector<pollfd> fds;
    for (size_t i = 0; i < count; ++i) fds.push_back({connectTo(port), POLLIN, 0});
    while (!stop) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (auto& entry : fds) {
            if (entry.revents == 0) continue;
            ::close(entry.fd);
            entry = {connectTo(port), POLLIN, 0};
            ++figures.idleReopened;
        }
    }
    for (auto& entry : fds) ::close(entry.fd);
}

// Requests that never parse: garbage, a bare request line, a head that is not UTF-8, a
// body shorter than it says. The client hangs up at once.
inline void malformedRequests(uint16_t port, const std::atomic<bool>& stop, int perMinute, ControlFigures& figures) {
    std::mt19937 random(11);
    const std::vector<std::string> shapes = {"GET\r\n\r\n", "POST /pair HTTP/1.1\r\nContent-Length: 999\r\n\r\n{}",
                                             "\xff\xfe /status HTTP/1.1\r\n\r\n", "G"};
    auto next = std::chrono::steady_clock::now();
    while (!stop) {
        std::string bytes = shapes[random() % shapes.size()];
        if (random() % 3 == 0) {
            bytes.resize(random() % 200);
            for (auto& c : bytes) c = static_cast<char>(random());
        }
        int fd = connectTo(port);
        if (fd >= 0) {
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
        ++figures.malformed;
        next += std::chrono::microseconds(60'000'000 / perMinute);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace vesk::soak
