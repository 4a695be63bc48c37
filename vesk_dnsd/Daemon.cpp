#include "Daemon.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "VeskPlatform/OnLoop.hpp"
#include "vesk_dnsd/Adapters.hpp"
#include "VeskPlatform/ExecutablePath.hpp"
#include "VeskPlatform/Ticker.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskDNSCore/LogChannels.hpp"

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

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The port the network's resolvers are asked on. On the simulated host only
// (VESK_NETWORK_DNS_PORT), so that tests can run the network's resolver on loopback.
uint16_t networkDnsPort() {
#ifdef __APPLE__
    return 53;
#else
    const char* named = std::getenv("VESK_NETWORK_DNS_PORT");
    auto port = named ? parsePort(named) : std::nullopt;
    return port && *port != 0 ? *port : 53;
#endif
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

void DaemonParts::stop() {
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->stop) entry->stop();
    }
    while (!entries.empty()) entries.pop_back();
}

Daemon::Daemon(Settings options, StderrLine writeLine)
    : settings(std::move(options)), stderrLine(std::move(writeLine)) {}

Daemon::~Daemon() { parts.stop(); }

int Daemon::run() {
    ::signal(SIGPIPE, SIG_IGN);
    // Blocked before any thread starts, so that every thread inherits the mask and only
    // the wait below sees them.
    sigset_t signals = handledSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    raiseDescriptorLimit();
    Log::useDefaultSink();

    if (!start()) {
        Log::flush();
        return 1;
    }
    int received = 0;
    while (sigwait(&signals, &received) == 0 && received == SIGHUP) lists->refreshAll();
    // Everything stops in order, but work in flight (a tool, a wait on the backend) gets
    // about a second to finish: a daemon asked to stop must not linger.
    std::promise<void> stopped;
    auto done = stopped.get_future();
    std::thread stopper([&] {
        parts.stop();
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

bool Daemon::reportUntrusted(const std::string& reason) {
    if (!alerts) return false;
    alerts->reportMonitoringEvent("FILTER_BYPASSED", {{"via", "state_dir"}, {"what", reason}});
    return true;
}

// Startup, in order: the host's units, the alert configuration, the blocklist, the block
// log and the DNS listener; after the "serving DNS" line the lists' refresh, the tamper
// watch, the control API and the privacy proxy monitor, then the startup filter-state check. Nothing after
// "serving DNS" ends the process. What is made first stops last.
bool Daemon::start() {
    createHost();
    configureAlerts();
    loadBlocklist();
    blockLog = &parts.add(std::make_unique<BlockEventLog>(200));
    if (!startDns()) return false;
    lists->start(*blocklist);
    createTamperWatch();
    startControl();
    startMonitor();
    work->submit([this] { checkFilterState(); });
    return true;
}

namespace {

void stopDropping(SerialQueue& queue) { queue.stop(SerialQueue::Due::drop); }

}  // namespace

// Building these runs nothing on the host: they act only when asked.
void Daemon::createHost() {
    work = &parts.add(std::make_unique<BlockingPool>("app.quorran.tarnik.dnsd.work"),
                      [](BlockingPool& pool) { pool.stop(); });
    utility = &parts.add(std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.utility"), stopDropping);
    tools = &parts.add(std::make_unique<ProcessToolRunner>(hostRoot));
    console = &parts.add(std::make_unique<HostConsoleUser>(hostRoot));
    systemDNS = &parts.add(std::make_unique<SystemDNS>(*tools));
    relay = &parts.add(std::make_unique<PrivateRelay>(*tools, *console, hostRoot, Clock::system()));
    browserRestart = &parts.add(std::make_unique<BrowserRestart>(
        BrowserRestart::Parts{*tools, *console, hostRoot, Clock::system(), *systemDNS, *relay}, *work));
    // The process ends the way a signal ends it, so that everything stops in order.
    auto& uninstallQ = parts.add(std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.uninstall"), stopDropping);
    uninstaller = &parts.add(
        std::make_unique<Uninstaller>(*systemDNS, *tools, hostRoot, uninstallQ, [] { ::kill(::getpid(), SIGTERM); }));
    createStateDir();
    auto& filterQ = parts.add(std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.filter"), stopDropping);
    filter = &parts.add(std::make_unique<FilterController>(
        FilterController::Parts{*systemDNS, *uninstaller,
                                std::filesystem::path(settings.pinFile).parent_path().string(), Clock::system(),
                                [this] { return stateDir->trusted(); }},
        filterQ));
}

// The PIN file's directory holds the filter's intended state too; the token file's, the
// account's e-mail. The partner hears of an untrusted one with the access token the
// reporter holds, since none may be read from there.
void Daemon::createStateDir() {
    if (settings.pinFile == Settings{}.pinFile) settings.pinFile = hostRoot.path(settings.pinFile);
    controlTokenFile = settings.alertsTokenFile.value_or(hostRoot.path("/var/db/vesk/auth.token"));
    auto directoryOf = [](const std::string& file) { return std::filesystem::absolute(file).parent_path().string(); };
    stateDir = &parts.add(std::make_unique<StateDir>(
        StateDir::Parts{hostRoot.path("/"), {directoryOf(settings.pinFile), directoryOf(controlTokenFile)},
                        Clock::system(), [this](const std::string& reason) { return reportUntrusted(reason); }}));
}

// A control API that cannot start leaves filtering running: only toggling is lost.
void Daemon::startControl() {
    auto& pinStore = parts.add(std::make_unique<PinStore>(settings.pinFile, 5, 300.0));
    auto& filterHost = parts.add(std::make_unique<HostActions>(HostActions::Parts{*filter, *browserRestart, *relay}));
    EventReporter* events = alerts ? &parts.add(std::make_unique<AlertEvents>(*alerts)) : nullptr;
    auto& routes = parts.add(std::make_unique<ControlRoutes>(
        ControlRoutes::Parts{pinStore, controlTokenFile, filterHost, events, blockLog, Clock::system(),
                             [this] { return stateDir->trusted(); }, [this] { return lists->status(); },
                             [this] { return networkJson(dns->network()); }}));
    auto server = std::make_unique<ControlServer>(routes, *work, settings.controlPort);
    try {
        server->start();
    } catch (const ServerError& error) {
        stderrLine("vesk-dnsd: WARNING control API failed to start: " + error.caseText() + " (" +
                   std::strerror(error.error()) + ") — toggle unavailable, filtering continues");
        return;
    }
    // No new requests once it stops; those being routed finish on the pool.
    control = &parts.add(std::move(server), [](ControlServer& stopping) { stopping.stop(); });
    stderrLine("vesk-dnsd: control API on 127.0.0.1:" + std::to_string(control->port()) +
               " (pin file: " + settings.pinFile + ")");
}

namespace {

// How many times faster the watches look: on the simulated host only (VESK_WATCH_SPEEDUP),
// so that tests of the real daemon need not wait real minutes. Never read on the Mac.
int watchSpeedup() {
#ifdef __APPLE__
    return 1;
#else
    const char* named = std::getenv("VESK_WATCH_SPEEDUP");
    return named ? std::clamp(std::atoi(named), 1, 100) : 1;
#endif
}

}  // namespace

// Watches for Safari's private relay while filtering is on: a minute apart, the first look
// 10 seconds from now. Its ticks run on the utility queue, made before it and stopped after.
void Daemon::startMonitor() {
    using namespace std::chrono_literals;
    PrivacyProxyMonitor::Parts monitored{[this] { return filter->snapshot()->pointed; },
                                         [this](Clock::Wall::time_point now) { return relay->safariPrivacyProxyActive(now); },
                                         alerts ? bypassReporter(*alerts) : nullptr,
                                         *tools,
                                         *console,
                                         Clock::system()};
    auto& monitor = parts.add(std::make_unique<PrivacyProxyMonitor>(std::move(monitored), 300s, 3600s, *utility));
    monitor.start(60s / watchSpeedup(), 10s / watchSpeedup());
    tamperWatch->start();
    // Looked at once a minute besides each use, so that the partner hears of it hourly.
    auto& stateTicker = parts.add(std::make_unique<Ticker>(*utility, Clock::system(), [this] { stateDir->problem(); }));
    stateTicker.start(60s, 60s);
    // What the network handed out: at once, then every minute.
    auto& networkTicker = parts.add(std::make_unique<Ticker>(*utility, Clock::system(), [this] { learnNetwork(); }));
    networkTicker.start(0s, 60s / watchSpeedup());
}

void Daemon::learnNetwork() {
    if (dns) dns->setNetwork(networkResolvers->read());
}

// Built before the control API, which reports its findings; started with the monitor.
void Daemon::createTamperWatch() {
    using namespace std::chrono_literals;
    auto& tamperQ = parts.add(std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.tamper"), stopDropping);
    // Its lookups run tools under a shorter limit than the others.
    auto& lookupTools = parts.add(std::make_unique<ProcessToolRunner>(hostRoot, 10s));
    auto& lookup = parts.add(std::make_unique<SystemLookup>(lookupTools));
    TamperWatch::Parts watched{*filter,
                               *blocklist,
                               hostRoot,
                               [this] { return canary.arm(); },
                               [&lookup](const std::string& name) { return lookup.lookup(name); },
                               [this](Clock::Monotonic::time_point deadline) { return canary.waitUntil(deadline); },
                               [this] { return systemDNS->online(); },
                               alerts ? tamperReporter(*alerts) : nullptr,
                               Clock::system(),
                               [random = std::mt19937_64(std::random_device{}())]() mutable { return random(); },
                               settings.host,
                               settings.port,
                               watchSpeedup()};
    // Made after its queue, so that the queue stops first: no tick outlives it.
    tamperWatch = &parts.add(std::make_unique<TamperWatch>(std::move(watched), tamperQ));
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
    // The token queue is made first so that it stops after the HTTP client: requests in
    // flight end then (as failures), which frees the queue waiting on them.
    auto tokenQ = std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.alerts.token", true);
    // Reporting is background work: when the processor is busy, answering queries goes first.
    HttpSession::Limits limits;
    limits.priority = HttpSession::Limits::Priority::background;
    auto http = std::make_unique<HttpSession>(limits);
    AlertConfig config{settings.supabaseURL, settings.anonKey, settings.alertsTokenFile,
                       settings.sourcePlatform, 3};
    AlertReporter::Environment environment{*http, *tokenQ};
    environment.stateTrusted = [this] { return stateDir->trusted(); };
    auto reporter = AlertReporter::create(config, std::move(environment));
    if (!reporter) {
        stderrLine("vesk-dnsd: WARNING alert config invalid — alerts DISABLED");
        return;
    }
    parts.add(std::move(tokenQ), stopDropping);
    parts.add(std::move(http), [](HttpSession& session) { session.shutdown(); });
    alerts = &parts.add(std::move(reporter));
    stderrLine("vesk-dnsd: alert reporting CONFIGURED -> " + *settings.supabaseURL +
               " (paired: " + (alerts->paired() ? "yes" : "no — run pair.sh") + ")");
}

// The file and the cached copies of the downloaded lists load now, with no network; the
// lists are fetched once the DNS listener serves. Downloads are background work with a
// session of their own, sized for lists of millions of names.
void Daemon::loadBlocklist() {
    using namespace std::chrono_literals;
    // A relative path is taken from the executable's directory, whatever the current one.
    if (settings.blocklistPath == Settings{}.blocklistPath) {
        settings.blocklistPath = hostRoot.path(settings.blocklistPath);
    }
    settings.blocklistPath =
        ExecutablePath::resolve(settings.blocklistPath, ExecutablePath::directory());
    if (settings.blocklistCache == Settings{}.blocklistCache) {
        settings.blocklistCache = hostRoot.path(settings.blocklistCache);
    }
    std::string cacheDir = std::filesystem::absolute(settings.blocklistCache).lexically_normal().string();
    // Converting and building take a second of processor time a million names: below the
    // DNS path's priority, on threads of their own.
    listsWork = &parts.add(
        std::make_unique<BlockingPool>("app.quorran.tarnik.dnsd.lists.work", 2, std::chrono::seconds(10), true),
        [](BlockingPool& pool) { pool.stop(); });
    auto& listsQ = parts.add(std::make_unique<SerialQueue>("app.quorran.tarnik.dnsd.lists", true), stopDropping);
    HttpSession::Limits limits;
    limits.priority = HttpSession::Limits::Priority::idle;
    limits.followRedirects = true;
    limits.largestBody = size_t{256} << 20;
    limits.idle = 60s;
    limits.total = std::chrono::seconds(30 * 60);
    limits.inFlight = 4;
    auto& http = parts.add(std::make_unique<HttpSession>(limits), [](HttpSession& session) { session.shutdown(); });
    // Whoever can write the cache chooses what is blocked: it is held to the state's rule.
    auto& cacheOwner = parts.add(std::make_unique<StateDir>(StateDir::Parts{
        hostRoot.path("/"), {cacheDir}, Clock::system(),
        [this](const std::string& reason) { return reportUntrusted(reason); }, ::geteuid(),
        "blocklist cache directory", "cached lists not used, none downloaded"}));
    auto refresh = std::chrono::seconds(std::max<int64_t>(1, std::llround(settings.blocklistRefreshHours * 3600)));
    lists = &parts.add(std::make_unique<BlocklistUpdater>(BlocklistUpdater::Parts{
        settings.blocklistPath, settings.blocklistUrls, cacheDir, refresh, http, *listsWork, listsQ, Clock::system(),
        [&cacheOwner] { return cacheOwner.trusted(); },
        [random = std::mt19937_64(std::random_device{}())]() mutable {
            return std::uniform_real_distribution<double>(0, 1)(random);
        }}));
    blocklist = &parts.add(std::make_unique<LiveBlocklist>(lists->loadAtStartup(stderrLine)));
    if (blocklist->current()->count() == 0) {
        stderrLine("vesk-dnsd: WARNING blocklist is empty — fail-open, NOTHING will be blocked");
    }
}

bool Daemon::startDns() {
    // The reporter only queues its work: nothing of it runs on the DNS loop.
    std::vector<BlockSubscriber*> subscribers{blockLog};
    if (alerts) subscribers.push_back(alerts);
    // A list the loop lets go of is freed on the pool: a million names take a while to free.
    auto retire = [this](std::shared_ptr<const Blocklist> old) { listsWork->submit([old]() mutable { old.reset(); }); };
    // When the public upstreams fail the network may have changed: it is looked at again.
    networkResolvers = &parts.add(std::make_unique<NetworkResolvers>(
        *tools, networkDnsPort(), NetworkResolvers::Listener{settings.host, settings.port}));
    auto relearn = [this] { utility->async([this] { learnNetwork(); }); };
    DnsServer::Hooks hooks{&canary, retire, relearn, std::chrono::seconds(5) / watchSpeedup()};
    auto server = std::make_unique<DnsServer>(dnsLoop, *blocklist, settings.host, settings.port,
                                              std::move(subscribers), upstreamsFrom(settings),
                                              std::chrono::duration<double>(2.0), std::move(hooks));
    try {
        server->start();
    } catch (const ServerError& error) {
        stderrLine("vesk-dnsd: failed to start: " + error.description());
        return false;
    }
    // DNS over TCP on the same address: clients retry there when an answer is truncated.
    if (auto error = server->startTcp()) {
        stderrLine("vesk-dnsd: WARNING DNS over TCP unavailable: " + error->description());
    }
    dns = server.get();  // before the loop runs: what it calls back may ask for it
    dnsWork.emplace(dnsLoop.get_executor());
    dnsThread = std::thread([this] {
        Log log(LogChannels::server);
        runLoopLogged(dnsLoop, log, "DNS loop");
    });
    // Stopping: the listeners stop taking queries, then the loop ends.
    parts.add(std::move(server), [this](DnsServer& stopping) {
        stopping.stop();
        dnsWork.reset();
        // Queued behind the server's stop, so the listeners close before the loop ends.
        asio::post(dnsLoop, [this] { dnsLoop.stop(); });
        dnsThread.join();
    });
    stderrLine("vesk-dnsd: serving DNS on " + settings.host + ":" + std::to_string(settings.port));
    return true;
}

}  // namespace vesk
