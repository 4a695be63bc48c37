// vesk-dnsd: the filtering DNS daemon. Started by launchd with its options on the
// command line; runs until SIGTERM or SIGINT.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <string>
#include <thread>
#include <vector>

#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DnsServer.hpp"
#include "VeskDNSCore/ExecutablePath.hpp"
#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Log.hpp"
#include "vesk_dnsd/Options.hpp"

namespace {

using namespace vesk;

// The only writer to standard error: one line, one write, so lines never interleave.
void stderrLine(const std::string& text) { Files::writeAll(STDERR_FILENO, text + "\n"); }

// launchd starts us with a soft limit of 256 descriptors, and every forwarded query
// holds one socket per upstream for up to two seconds.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    rlim_t wanted = limit.rlim_max;
#ifdef __APPLE__
    if (wanted == RLIM_INFINITY || wanted > OPEN_MAX) wanted = OPEN_MAX;
#endif
    if (wanted > limit.rlim_cur) {
        limit.rlim_cur = wanted;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::vector<DnsForwarder::Upstream> upstreamsFrom(const Settings& settings) {
    if (!settings.upstreams) return DnsForwarder::defaultUpstreams();
    std::vector<DnsForwarder::Upstream> out;
    for (const auto& entry : *settings.upstreams) {
        if (auto upstream = DnsForwarder::upstream(entry.address, entry.port)) out.push_back(*upstream);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    // Blocked in every thread, so that only the main thread's sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    Log::useDefaultSink();

    // 1. Settings from the command line.
    Settings settings = parseArguments(std::vector<std::string>(argv + 1, argv + argc), stderrLine);
    // 2. Alert reporting is configured here once it exists.

    // 3-5. The blocklist, relative paths taken from the executable's directory.
    settings.blocklistPath =
        ExecutablePath::resolve(settings.blocklistPath, ExecutablePath::directory());
    Blocklist blocklist(settings.blocklistPath);
    stderrLine("vesk-dnsd: loaded " + std::to_string(blocklist.count()) + " blocked domains from " +
               settings.blocklistPath);
    if (blocklist.count() == 0) {
        stderrLine("vesk-dnsd: WARNING blocklist is empty — fail-open, NOTHING will be blocked");
    }

    // 6. Recent blocks, for the control API.
    BlockEventLog blockLog(200);

    // 7. The DNS listener on its own loop thread.
    asio::io_context loop(1);
    auto server = std::make_shared<DnsServer>(loop, blocklist, settings.host, settings.port,
                                              &blockLog, upstreamsFrom(settings));
    try {
        server->start();
    } catch (const DnsServer::ServerError& error) {
        stderrLine("vesk-dnsd: failed to start: " + error.description());
        Log::flush();
        return 1;
    }
    // DNS over TCP on the same address: clients retry there when an answer is truncated.
    if (auto error = server->startTcp()) {
        stderrLine("vesk-dnsd: WARNING DNS over TCP unavailable: " + error->description());
    }
    auto work = asio::make_work_guard(loop);
    std::thread dnsLoop([&loop] {
        for (;;) {
            try {
                loop.run();
                return;
            } catch (const std::exception& error) {
                Log("app.quorran.tarnik.dnsd", "server").error("DNS loop: {}", error.what());
            } catch (...) {
                Log("app.quorran.tarnik.dnsd", "server").error("DNS loop: unknown exception");
            }
        }
    });

    // 8.
    stderrLine("vesk-dnsd: serving DNS on " + settings.host + ":" + std::to_string(settings.port));

    // 9. The control API, the PIN store, the privacy-proxy monitor and the startup
    // filter-state check start here when they arrive; then the main thread waits.
    int received = 0;
    sigwait(&stopSignals, &received);

    work.reset();
    loop.stop();
    dnsLoop.join();
    server.reset();
    Log::flush();
    return 0;
}
