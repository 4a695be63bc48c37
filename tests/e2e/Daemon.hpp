#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "tests/support/ControlClient.hpp"
#include "tests/support/FakeUpstream.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Socket.hpp"
#include "tests/support/Spawn.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {

using namespace std::chrono_literals;

// The message behind the 2-byte length it carries over TCP.
inline Bytes framed(Bytes message) {
    uint8_t high = static_cast<uint8_t>(message.size() >> 8), low = static_cast<uint8_t>(message.size());
    message.insert(message.begin(), {high, low});
    return message;
}

inline constexpr std::string_view tcpWarning = "vesk-dnsd: WARNING DNS over TCP unavailable: ";
inline const std::string portInUse =
    "bind() failed: errno " + std::to_string(EADDRINUSE) + " (" + std::strerror(EADDRINUSE) + ")";

// A vesk-dnsd process whose standard error is collected line by line; killed when
// destroyed still running. It always runs on a simulated host (hostRoot, or one of its
// own), never on this machine's.
class Daemon {
public:
    Daemon(const std::string& blocklist, uint16_t port,
           const std::vector<const FakeUpstream*>& upstreams,
           const std::vector<std::string>& extra = {}, std::string hostRoot = "",
           const std::vector<std::string>& environment = {})
        : dnsPort(port) {
        if (hostRoot.empty()) {
            ownHost = std::make_unique<TempDir>();
            hostRoot = HostSim::install(ownHost->path()).root();
        }
        // Only ever our fakes: by default the daemon forwards to public resolvers.
        std::string endpoints;
        for (const auto* upstream : upstreams) endpoints += "," + upstream->endpoint();
        if (endpoints.empty()) throw std::logic_error("the daemon needs fake upstreams");
        std::vector<std::string> args = {VESK_DNSD_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--blocklist", blocklist, "--host", "127.0.0.1", "--port",
                                 std::to_string(port), "--upstreams", endpoints.substr(1)});
        // A control port the test chose stands (controlPort() does not know it); otherwise a free one.
        if (std::find(extra.begin(), extra.end(), "--control-port") == extra.end()) {
            controlPortNumber = Socket(SOCK_STREAM).port();
            args.insert(args.end(), {"--control-port", std::to_string(controlPortNumber)});
        }
        // The simulated host's lookups of names asked of 127.0.0.1 come to this port; a
        // sanitized child reports as its parent does.
        std::vector<std::string> env = {"VESK_LOG=stderr", "VESK_HOST_ROOT=" + hostRoot,
                                        "VESK_HOSTSIM_DNS_PORT=" + std::to_string(port)};
        env.insert(env.end(), environment.begin(), environment.end());
        env = childEnvironment(env);
        CStrings argv(args), envp(env);

        int pipeFds[2];
        if (::pipe(pipeFds) != 0 || closeOnExec(pipeFds[0]) < 0 || closeOnExec(pipeFds[1]) < 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Not this process's output: a test that crashes must not leave a daemon holding
        // the pipe its runner reads.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        int failed =
            ::posix_spawn(&pid, VESK_DNSD_PATH, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        if (failed != 0) {
            ::close(pipeFds[0]);
            throw std::runtime_error("cannot spawn " VESK_DNSD_PATH);
        }
        reader = std::thread([this, fd = pipeFds[0]] { collect(fd); });
    }
    ~Daemon() {
        if (!status) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        reader.join();
    }

    // Starts the daemon on a free port (or one from pickPort) and waits until it serves and
    // has looked at the host's settings; starts it again on another port if that one was
    // taken in the meantime, for TCP too unless pickPort chose it.
    static std::unique_ptr<Daemon> serve(const std::string& blocklist,
                                         const std::vector<const FakeUpstream*>& upstreams,
                                         const std::vector<std::string>& extra = {},
                                         const std::function<uint16_t()>& pickPort = {},
                                         const std::string& hostRoot = "",
                                         const std::vector<std::string>& environment = {}) {
        for (int attempt = 1;; ++attempt) {
            auto daemon = std::make_unique<Daemon>(blocklist, pickPort ? pickPort() : Socket().port(),
                                                   upstreams, extra, hostRoot, environment);
            auto line = daemon->waitForLine([](std::string_view text) {
                return text.starts_with("vesk-dnsd: filter state") || text.starts_with("vesk-dnsd: failed");
            });
            // A refused upstream list would leave the public resolvers in place: never go on.
            bool safe = daemon->lines("vesk-dnsd: ignoring bad --upstreams").empty();
            bool tcpTaken = !pickPort && !daemon->lines(tcpWarning).empty();
            if (safe && !tcpTaken && line && line->starts_with("vesk-dnsd: filter state")) return daemon;
            if (!safe || attempt == 5 || !line || !(tcpTaken || line->ends_with("(Address already in use)"))) {
                throw std::runtime_error("vesk-dnsd did not start: " + ::testing::PrintToString(daemon->lines()));
            }
        }
    }

    uint16_t port() const { return dnsPort; }
    uint16_t controlPort() const { return controlPortNumber; }
    pid_t processId() const { return pid; }
    // The body of a control API call's answer.
    nlohmann::json call(const std::string& method, const std::string& path,
                        const nlohmann::json& body = nlohmann::json::object()) const {
        return controlCall(controlPortNumber, method, path, body).body;
    }

    // The lines so far that start with prefix.
    std::vector<std::string> lines(std::string_view prefix = "") const {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& line : captured) {
            if (line.starts_with(prefix)) out.push_back(line);
        }
        return out;
    }

    // The first line that matches, waited for until the timeout or the end of output.
    template <typename Match>
    std::optional<std::string> waitForLine(Match match, Clock::duration timeout = 5s) {
        std::unique_lock lock(mutex);
        std::optional<std::string> found;
        changed.wait_until(lock, Clock::now() + timeout, [&] {
            for (const auto& line : captured) {
                if (match(std::string_view(line))) return found = line, true;
            }
            return closed;
        });
        return found;
    }

    // Waits for a line of the daemon's log that ends "] text".
    bool waitForLog(const std::string& text) {
        return waitForLine([&](std::string_view line) { return line.ends_with("] " + text); }).has_value();
    }

    // The exit status (128 + signal if killed by one), or none if still running.
    std::optional<int> waitExit(Clock::duration timeout = 5s) {
        waitUntil([&] {
            int raw = 0;
            if (status || ::waitpid(pid, &raw, WNOHANG) != pid) return status.has_value();
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return true;
        }, timeout);
        return status;
    }

    // Signals the daemon and returns its exit status, -1 if it does not exit.
    int stop(int signal = SIGTERM) {
        ::kill(pid, signal);
        return waitExit().value_or(-1);
    }

private:
    void collect(int fd) {
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            pending.append(buffer, static_cast<size_t>(n));
            std::lock_guard lock(mutex);
            for (size_t end; (end = pending.find('\n')) != pending.npos;) {
                captured.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            changed.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex);
        if (!pending.empty()) captured.push_back(pending);
        closed = true;
        changed.notify_all();
    }

    std::unique_ptr<TempDir> ownHost;
    uint16_t dnsPort;
    uint16_t controlPortNumber = 0;
    pid_t pid = -1;
    std::optional<int> status;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> captured;
    bool closed = false;
    std::thread reader;
};

// How many of the calls of the simulated host's tools began so.
inline size_t callsMade(const HostSim& sim, const std::string& call) {
    return static_cast<size_t>(
        std::ranges::count_if(sim.calls(), [&](const std::string& made) { return made.starts_with(call); }));
}

// Each way around the filter is noticed, the settings are put back, and the partner hears of
// each once.
// A backend as the real one behaves: a refresh token works once. Its answer names the next
// one and carries an access token whose claims give the account the refresh token names
// ("alice-…" is alice@example.com, base64url unpadded); a token spent before is refused with
// 400. Whatever else it is sent (alerts, monitoring events) it takes.
inline HttpServer::Script rotatingBackend() {
    using json = nlohmann::json;
    static const std::map<std::string, std::string> claims = {{"alice", "eyJlbWFpbCI6ImFsaWNlQGV4YW1wbGUuY29tIn0"},
                                                              {"bob", "eyJlbWFpbCI6ImJvYkBleGFtcGxlLmNvbSJ9"}};
    struct Tokens {
        std::mutex lock;
        std::set<std::string> spent;
        int issued = 0;
    };
    return [tokens = std::make_shared<Tokens>()](const HttpServer::Request& request) -> HttpServer::Reply {
        if (!request.target.starts_with("/auth/v1/token")) return {{}, 204};
        std::string refresh = json::parse(request.body).value("refresh_token", "");
        std::string account = refresh.substr(0, refresh.find('-'));
        std::lock_guard guard(tokens->lock);
        if (!tokens->spent.insert(refresh).second) {
            return {{}, 400, R"({"error":"invalid_grant"})"};
        }
        std::string access = "h." + claims.at(account) + ".s";
        std::string next = account + "-r" + std::to_string(++tokens->issued);
        return {{}, 200, json({{"access_token", access}, {"refresh_token", next}, {"expires_in", 3600}}).dump()};
    };
}

// The bodies of the monitoring events the backend was sent, in order.
inline std::vector<nlohmann::json> monitoringEvents(const HttpServer& backend) {
    std::vector<nlohmann::json> events;
    for (const auto& request : backend.requests()) {
        if (request.target.find("/rpc/") != std::string::npos) {
            events.push_back(nlohmann::json::parse(request.body, nullptr, false));
        }
    }
    return events;
}

}  // namespace vesk::test
