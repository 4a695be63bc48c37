// vesk-soak: the real daemon under faults for a while, on a simulated host, with a fake
// backend and fake upstreams, all on 127.0.0.1. See bench/soak for what it does and when
// it passes.
//
//   vesk-soak --daemon PATH --hostsim PATH [--seconds 600] [--rate 2500]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <map>

#include "bench/soak_parts/Control.hpp"
#include "bench/soak_parts/Dns.hpp"
#include "tests/support/HostSim.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Spawn.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::soak {
namespace {

struct Options {
    std::string daemon, hostsim;
    int seconds = 600;
    int rate = 2500;
};

// The backend in turns of 15 s: answering, failing, refusing the token, not answering.
test::HttpServer::Reply backendReply(const test::HttpServer::Request& request, Clock::time_point start) {
    using Reply = test::HttpServer::Reply;
    switch (((Clock::now() - start) / 15s) % 4) {
        case 0:
            if (request.target.starts_with("/auth/")) {
                return {Reply::Kind::respond, 200, R"({"access_token":"h.e30.s","refresh_token":"soak-1","expires_in":120})", {}};
            }
            return {Reply::Kind::respond, 200, "", {}};
        case 1: return {Reply::Kind::respond, 500, "", {}};
        case 2: return {Reply::Kind::respond, 401, "", {}};
        default: return {Reply::Kind::hang, 0, "", {}};
    }
}

pid_t spawnDaemon(const Options& options, const std::string& root, uint16_t dnsPort, uint16_t controlPort,
                  const std::string& upstreams, const std::string& backend) {
    std::vector<std::string> args = {options.daemon, "--port", std::to_string(dnsPort), "--control-port",
                                     std::to_string(controlPort), "--upstreams", upstreams, "--supabase-url", backend,
                                     "--anon-key", "anon", "--alerts-token-file", root + "/var/db/vesk/auth.token"};
    // The simulated host's own lookups (the tamper watch's canary) come to this daemon.
    auto env = test::childEnvironment(
        {"VESK_LOG=stderr", "VESK_HOST_ROOT=" + root, "VESK_HOSTSIM_DNS_PORT=" + std::to_string(dnsPort)}, {"PATH"});
    test::CStrings argv(args), envp(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, (root + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (::posix_spawn(&pid, options.daemon.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct Sample {
    long rssKb = 0, fds = 0, zombies = 0;
};

Sample sample(pid_t pid) {
    Sample out;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) out.rssKb = std::stol(line.substr(6));
    }
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = ::readdir(dir)) out.fds += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    // Children of the daemon that ended and were not reaped.
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            size_t close = text.rfind(')');
            if (close == std::string::npos || close + 4 >= text.size()) continue;
            char state = text[close + 2];
            long parent = std::atol(text.c_str() + text.find(' ', close + 3) + 1);
            if (state == 'Z' && parent == pid) ++out.zombies;
        }
        ::closedir(proc);
    }
    return out;
}

// Error lines the faults are meant to cause; anything else at error level is unexpected.
std::pair<long, std::vector<std::string>> unexpectedErrors(const std::string& log) {
    const std::vector<std::string> expected = {"forwarder.", "token refresh failed", "alert failed", "alert skipped",
                                               "alerts backlog full"};
    std::ifstream in(log);
    long count = 0;
    std::vector<std::string> first;
    for (std::string line; std::getline(in, line);) {
        size_t level = line.find("Z error ");
        bool sanitizer = line.find("Sanitizer") != std::string::npos || line.find("runtime error") != std::string::npos;
        if (level == std::string::npos && !sanitizer) continue;
        size_t text = line.find("] ", level == std::string::npos ? 0 : level);
        std::string message = text == std::string::npos ? line : line.substr(text + 2);
        bool known = !sanitizer && std::any_of(expected.begin(), expected.end(),
                                               [&](const std::string& prefix) { return message.starts_with(prefix); });
        if (known) continue;
        ++count;
        if (first.size() < 5) first.push_back(line);
    }
    return {count, first};
}

int run(const Options& options) {
    test::TempDir dir;
    std::string root = dir.path() + "/host";
    test::HostSim::install(root, options.hostsim);
    Upstream first(20s, 0), second(20s, 1);
    auto start = Clock::now();
    test::HttpServer backend([start](const test::HttpServer::Request& request) { return backendReply(request, start); },
                             false);
    uint16_t dnsPort = test::Socket().port(), controlPort = test::Socket(SOCK_STREAM).port();
    pid_t daemon = spawnDaemon(options, root, dnsPort, controlPort, first.endpoint() + "," + second.endpoint(),
                               backend.url("/"));
    if (daemon < 0) return std::fprintf(stderr, "soak: cannot start %s\n", options.daemon.c_str()), 2;
    for (int i = 0; i < 300 && call(controlPort, "GET", "/status").status != 200; ++i) std::this_thread::sleep_for(100ms);
    ControlFigures control;
    control.expect(controlPort, "POST", "/pair", {{"refreshToken", "soak-1"}}, {200});
    control.expect(controlPort, "POST", "/pin", {{"pin", "2468"}}, {200});

    std::atomic<bool> stop{false};
    std::atomic<long> badDatagrams{0};
    std::mutex pinTurn;
    DnsLoad dns(dnsPort, options.rate);
    std::vector<std::thread> load;
    load.emplace_back(malformedDatagrams, dnsPort, std::cref(stop), std::ref(badDatagrams), 1000);
    load.emplace_back(statusPolls, controlPort, std::cref(stop), std::ref(control));
    load.emplace_back(toggles, controlPort, std::cref(stop), std::ref(pinTurn), std::ref(control));
    load.emplace_back(bruteForce, controlPort, std::cref(stop), std::ref(pinTurn), std::ref(control));
    load.emplace_back(idleConnections, controlPort, 200, std::cref(stop), std::ref(control));
    load.emplace_back(malformedRequests, controlPort, std::cref(stop), 1000, std::ref(control));

    auto began = Clock::now();
    // Settled once the first minute has passed (half of a shorter run): by then the
    // connections that hold out to the read deadline have come and gone at their pace.
    auto settledAt = began + std::min<Clock::duration>(60s, std::chrono::seconds(options.seconds) / 2);
    std::optional<Sample> settled;
    long settledTurn = -1;
    Sample last;
    long worstZombies = 0;
    while (Clock::now() < began + std::chrono::seconds(options.seconds)) {
        std::this_thread::sleep_for(5s);
        Sample now = sample(daemon);
        worstZombies = std::max(worstZombies, now.zombies);
        long elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
        if (elapsed % 60 < 5) {
            std::fprintf(stderr, "soak: %lds, RSS %ld kB, %ld descriptors, %ld requests\n", elapsed, now.rssKb, now.fds,
                         control.requests.load());
        }
        // Memory and descriptors are compared in the same turn of the upstreams, well into
        // it: while neither answers, every forwarded query holds its socket for two seconds.
        auto sinceStart = Clock::now() - start;
        long turn = static_cast<long>((sinceStart / 20s) % 3);
        if (sinceStart % 20s < 8s) continue;
        if (!settled) {
            if (Clock::now() < settledAt) continue;
            settled = now;
            settledTurn = turn;
        }
        if (turn == settledTurn) last = now;
    }
    stop = true;
    for (auto& thread : load) thread.join();
    auto figures = dns.stop();
    std::this_thread::sleep_for(2s);
    Sample quiet = sample(daemon);
    ::kill(daemon, SIGTERM);
    int raw = 0, exitStatus = -1;
    for (int i = 0; i < 100 && exitStatus == -1; ++i) {
        if (::waitpid(daemon, &raw, WNOHANG) == daemon) exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        else std::this_thread::sleep_for(50ms);
    }
    if (exitStatus == -1) ::kill(daemon, SIGKILL), ::waitpid(daemon, nullptr, 0);
    auto [errors, examples] = unexpectedErrors(root + "/daemon.log");
    if (!settled) settled = last;

    auto within = [](long end, long base) { return end <= base + base / 10; };
    struct Row {
        std::string what, figure;
        bool pass;
    };
    std::vector<Row> rows = {
        {"queries answered within 2 s", std::to_string(figures.answered) + " of " + std::to_string(figures.sent) + ", " +
                                             std::to_string(figures.unanswered) + " unanswered, " + std::to_string(figures.late) +
                                             " late; slowest " + std::to_string(figures.worstSeconds).substr(0, 5) + " s",
         figures.unanswered == 0 && figures.late == 0},
        {"well-formed control requests answered", std::to_string(control.requests - control.unanswered) + " of " +
                                                      std::to_string(control.requests) + ", unexpected answers " +
                                                      std::to_string(control.unexpected),
         control.unanswered == 0 && control.unexpected == 0},
        {"resident memory (kB): settled -> end", std::to_string(settled->rssKb) + " -> " + std::to_string(last.rssKb),
         within(last.rssKb, settled->rssKb)},
        {"open descriptors: settled -> end", std::to_string(settled->fds) + " -> " + std::to_string(last.fds) +
                                                 " (" + std::to_string(quiet.fds) + " once idle)",
         within(last.fds, settled->fds)},
        {"zombies at the end", std::to_string(quiet.zombies) + " (most seen at once " + std::to_string(worstZombies) + ")",
         quiet.zombies == 0},
        {"lock-out on the fifth wrong PIN", std::to_string(control.bruteRounds - control.lockoutMissed) + " of " +
                                                std::to_string(control.bruteRounds) + " rounds",
         control.bruteRounds > 0 && control.lockoutMissed == 0},
        {"unexpected error lines in the log", std::to_string(errors), errors == 0},
        {"exit status after SIGTERM", std::to_string(exitStatus), exitStatus == 0},
    };
    std::printf("Soak: %d s, %d queries/s (half blocked), 1,000 malformed datagrams and 1,000 malformed requests a minute, "
                "200 idle control connections, PIN brute force, toggles every 3 s\n",
                options.seconds, options.rate);
    std::printf("Also: %ld malformed datagrams, %ld malformed requests, %ld idle connections reopened\n",
                badDatagrams.load(), control.malformed.load(), control.idleReopened.load());
    bool pass = true;
    for (const auto& row : rows) {
        std::printf("  %-40s %-6s %s\n", row.what.c_str(), row.pass ? "pass" : "FAIL", row.figure.c_str());
        pass = pass && row.pass;
    }
    if (!control.firstProblem.empty()) std::printf("  first control problem: %s\n", control.firstProblem.c_str());
    for (const auto& line : examples) std::printf("  unexpected: %s\n", line.c_str());
    return pass ? 0 : 1;
}

}  // namespace
}  // namespace vesk::soak

int main(int argc, char** argv) {
    vesk::soak::Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--daemon") options.daemon = argv[i + 1];
        else if (option == "--hostsim") options.hostsim = argv[i + 1];
        else if (option == "--seconds") options.seconds = std::atoi(argv[i + 1]);
        else if (option == "--rate") options.rate = std::atoi(argv[i + 1]);
    }
    if (options.daemon.empty() || options.hostsim.empty() || options.seconds <= 0 || options.rate <= 0) {
        std::fprintf(stderr, "usage: vesk-soak --daemon PATH --hostsim PATH [--seconds 600] [--rate 2500]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return vesk::soak::run(options);
}
