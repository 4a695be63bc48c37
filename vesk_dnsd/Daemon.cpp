#include "Daemon.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "VeskDNSCore/OnLoop.hpp"
#include "vesk_dnsd/Adapters.hpp"
#include "VeskPlatform/ExecutablePath.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {
namespace {

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

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
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

Daemon::Daemon(Settings options, StderrLine writeLine)
    : settings(std::move(options)), stderrLine(std::move(writeLine)) {}

Daemon::~Daemon() { stop(); }

int Daemon::run() {
    ::signal(SIGPIPE, SIG_IGN);
    // Blocked before any thread starts, so that every thread inherits the mask and only
    // the wait below sees them.
    sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    raiseDescriptorLimit();
    Log::useDefaultSink();

    if (!start()) {
        Log::flush();
        return 1;
    }
    int received = 0;
    sigwait(&signals, &received);
    // Everything stops in order, but work in flight (a tool, a wait on the backend) gets
    // about a second to finish: a daemon asked to stop must not linger.
    std::promise<void> stopped;
    auto done = stopped.get_future();
    std::thread stopper([&] {
        stop();
        stopped.set_value();
    });
    if (done.wait_for(std::chrono::seconds(1)) == std::future_status::timeout) {
        Log(LogChannels::server).info("work still in flight after a second; exiting without it");
        Log::flush();
        std::_Exit(0);
    }
    stopper.join();
    Log::flush();
    return 0;
}

// Startup, in order: the alert configuration, the blocklist, the block log and the DNS
// listener; after the "serving DNS" line the control API, the privacy proxy monitor and the
// tamper watch, then the startup filter-state check. Nothing after "serving DNS" ends the process.
bool Daemon::start() {
    createHost();
    configureAlerts();
    loadBlocklist();
    blockLog = std::make_unique<BlockEventLog>(200);
    if (!startDns()) return false;
    createTamperWatch();
    startControl();
    startMonitor();
    work->submit([this] { checkFilterState(); });
    return true;
}

// Building these runs nothing on the host: they act only when asked.
void Daemon::createHost() {
    work = std::make_unique<BlockingPool>("app.quorran.tarnik.dnsd.work");
    utility = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.utility");
    tools = std::make_unique<ProcessToolRunner>(hostRoot);
    console = std::make_unique<HostConsoleUser>(hostRoot);
    systemDNS = std::make_unique<SystemDNS>(*tools);
    relay = std::make_unique<PrivateRelay>(*tools, *console, hostRoot, Clock::system());
    browserRestart = std::make_unique<BrowserRestart>(
        BrowserRestart::Parts{*tools, *console, hostRoot, Clock::system(), *systemDNS, *relay}, *work);
    // The process ends the way a signal ends it, so that everything stops in order.
    uninstallQ = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.uninstall");
    uninstaller = std::make_unique<Uninstaller>(*systemDNS, *tools, hostRoot, *uninstallQ,
                                                [] { ::kill(::getpid(), SIGTERM); });
    if (settings.pinFile == Settings{}.pinFile) settings.pinFile = hostRoot.path(settings.pinFile);
    filterQ = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.filter");
    filter = std::make_unique<FilterController>(
        FilterController::Parts{*systemDNS, *uninstaller,
                                std::filesystem::path(settings.pinFile).parent_path().string(), Clock::system()},
        *filterQ);
}

// A control API that cannot start leaves filtering running: only toggling is lost.
void Daemon::startControl() {
    // Pairing through the control API writes the token the reporter reads.
    std::string controlTokenFile = settings.alertsTokenFile.value_or(hostRoot.path("/usr/local/etc/vesk/auth.token"));
    pinStore = std::make_unique<PinStore>(settings.pinFile, 5, 300.0);
    filterHost = std::make_unique<HostActions>(HostActions::Parts{*filter, *browserRestart, *relay});
    if (alerts) events = std::make_unique<AlertEvents>(*alerts);
    routes = std::make_unique<ControlRoutes>(ControlRoutes::Parts{
        *pinStore, controlTokenFile, *filterHost, events.get(), blockLog.get(), Clock::system()});
    control = std::make_unique<ControlServer>(*routes, *work, settings.controlPort);
    try {
        control->start();
    } catch (const ServerError& error) {
        control.reset();
        stderrLine("vesk-dnsd: WARNING control API failed to start: " + error.caseText() +
                   " — toggle unavailable, filtering continues");
        return;
    }
    stderrLine("vesk-dnsd: control API on 127.0.0.1:" + std::to_string(control->port()) +
               " (pin file: " + settings.pinFile + ")");
}

// Watches for Safari's private relay while filtering is on: a minute apart, the first look
// 10 seconds from now.
void Daemon::startMonitor() {
    using namespace std::chrono_literals;
    PrivacyProxyMonitor::Parts parts{[this] { return filter->snapshot()->pointed; },
                                     [this](Clock::Wall::time_point now) { return relay->safariPrivacyProxyActive(now); },
                                     alerts ? bypassReporter(*alerts) : nullptr,
                                     *tools,
                                     *console,
                                     Clock::system()};
    proxyMonitor = std::make_unique<PrivacyProxyMonitor>(std::move(parts), 300s, 3600s, *utility);
    proxyMonitor->start(60s);
    tamperWatch->start();
}

// Built before the control API, which reports its findings; started with the monitor.
void Daemon::createTamperWatch() {
    using namespace std::chrono_literals;
    tamperQ = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.tamper");
    lookupTools = std::make_unique<ProcessToolRunner>(hostRoot, 10s);
    lookup = std::make_unique<SystemLookup>(*lookupTools);
    TamperWatch::Parts parts{*filter,
                             *blocklist,
                             hostRoot,
                             [this] { return canary.arm(); },
                             [this](const std::string& name) { return lookup->lookup(name); },
                             [this](Clock::Monotonic::time_point deadline) { return canary.waitUntil(deadline); },
                             alerts ? tamperReporter(*alerts) : nullptr,
                             Clock::system()};
    tamperWatch = std::make_unique<TamperWatch>(std::move(parts), *tamperQ);
}

// Whether the host pointed at the filter before we started; when it did, answers cached
// meanwhile and a relay tunnel set up meanwhile are knocked down. The daemon never turns
// filtering on by itself.
void Daemon::checkFilterState() {
    bool on = filter->checkAtStartup()->pointed;
    stderrLine(std::string("vesk-dnsd: filter state at startup: ") + (on ? "ON" : "OFF"));
    if (on) relay->dropPrivateRelayTunnel();
}

void Daemon::configureAlerts() {
    if (!settings.supabaseURL || !settings.anonKey || !settings.alertsTokenFile) return;
    // Reporting is background work: when the processor is busy, answering queries goes first.
    HttpSession::Limits limits;
    limits.background = true;
    http = std::make_unique<HttpSession>(limits);
    tokenQ = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.alerts.token", true);
    AlertConfig config{settings.supabaseURL, settings.anonKey, settings.alertsTokenFile,
                       settings.sourcePlatform, 3};
    alerts = AlertReporter::create(config, {*http, *tokenQ});
    if (!alerts) {
        stderrLine("vesk-dnsd: WARNING alert config invalid — alerts DISABLED");
        tokenQ.reset();
        http.reset();
        return;
    }
    stderrLine("vesk-dnsd: alert reporting CONFIGURED -> " + *settings.supabaseURL +
               " (paired: " + (alerts->paired() ? "yes" : "no — run pair.sh") + ")");
}

void Daemon::loadBlocklist() {
    // A relative path is taken from the executable's directory, whatever the current one.
    if (settings.blocklistPath == Settings{}.blocklistPath) {
        settings.blocklistPath = hostRoot.path(settings.blocklistPath);
    }
    settings.blocklistPath =
        ExecutablePath::resolve(settings.blocklistPath, ExecutablePath::directory());
    blocklist = std::make_unique<Blocklist>(settings.blocklistPath);
    stderrLine("vesk-dnsd: loaded " + std::to_string(blocklist->count()) +
               " blocked domains from " + settings.blocklistPath);
    if (blocklist->count() == 0) {
        stderrLine("vesk-dnsd: WARNING blocklist is empty — fail-open, NOTHING will be blocked");
    }
}

bool Daemon::startDns() {
    // The reporter only queues its work: nothing of it runs on the DNS loop.
    std::vector<BlockSubscriber*> subscribers{blockLog.get()};
    if (alerts) subscribers.push_back(alerts.get());
    server = std::make_unique<DnsServer>(dnsLoop, *blocklist, settings.host, settings.port,
                                         std::move(subscribers), upstreamsFrom(settings),
                                         std::chrono::duration<double>(2.0), &canary);
    try {
        server->start();
    } catch (const ServerError& error) {
        stderrLine("vesk-dnsd: failed to start: " + error.description());
        server.reset();
        return false;
    }
    // DNS over TCP on the same address: clients retry there when an answer is truncated.
    if (auto error = server->startTcp()) {
        stderrLine("vesk-dnsd: WARNING DNS over TCP unavailable: " + error->description());
    }
    dnsWork.emplace(dnsLoop.get_executor());
    dnsThread = std::thread([this] {
        Log log(LogChannels::server);
        runLoopLogged(dnsLoop, log, "DNS loop");
    });
    stderrLine("vesk-dnsd: serving DNS on " + settings.host + ":" + std::to_string(settings.port));
    return true;
}

// The reverse of start: the DNS listener stops taking queries, its loop ends, then the
// rest goes.
void Daemon::stop() {
    if (dnsThread.joinable()) {
        server->stop();
        dnsWork.reset();
        // Queued behind the server's stop, so the listeners close before the loop ends.
        asio::post(dnsLoop, [this] { dnsLoop.stop(); });
        dnsThread.join();
    }
    server.reset();
    // No new control requests; those being routed finish on the pool below.
    if (control) control->stop();
    // Requests in flight end now (as failures), which also frees host work waiting on
    // them; the alerts still queued are dropped.
    if (http) http->shutdown();
    if (work) work->stop();
    if (utility) utility->stop(SerialQueue::Due::drop);
    if (tamperQ) tamperQ->stop(SerialQueue::Due::drop);
    if (filterQ) filterQ->stop(SerialQueue::Due::drop);
    if (uninstallQ) uninstallQ->stop(SerialQueue::Due::drop);
    if (tokenQ) tokenQ->stop(SerialQueue::Due::drop);
    alerts.reset();
    tokenQ.reset();
    http.reset();
    proxyMonitor.reset();
    tamperWatch.reset();
    lookup.reset();
    lookupTools.reset();
    tamperQ.reset();
    control.reset();
    routes.reset();
    events.reset();
    filterHost.reset();
    pinStore.reset();
    blockLog.reset();
    blocklist.reset();
    filter.reset();
    filterQ.reset();
    uninstaller.reset();
    uninstallQ.reset();
    browserRestart.reset();
    relay.reset();
    systemDNS.reset();
    console.reset();
    tools.reset();
    utility.reset();
    work.reset();
}

}  // namespace vesk
