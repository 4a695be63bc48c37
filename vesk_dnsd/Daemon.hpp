#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "VeskAlerts/AlertReporter.hpp"
#include "VeskControl/ControlRoutes.hpp"
#include "VeskControl/ControlServer.hpp"
#include "VeskControl/PinStore.hpp"
#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/Canary.hpp"
#include "VeskDNSCore/DnsServer.hpp"
#include "VeskHost/BrowserRestart.hpp"
#include "VeskHost/FilterController.hpp"
#include "VeskHost/PrivacyProxyMonitor.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/SystemLookup.hpp"
#include "VeskHost/TamperWatch.hpp"
#include "VeskHost/Uninstaller.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "vesk_dnsd/Options.hpp"

namespace vesk {

// The composition root: owns every unit of the daemon, starts them in their documented
// order and stops them in the reverse order. New units join here and nowhere else.
class Daemon {
public:
    using StderrLine = std::function<void(const std::string&)>;

    Daemon(Settings settings, StderrLine stderrLine);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The whole life of the process: starts, serves until SIGTERM or SIGINT, stops.
    // Returns the exit status: 0 after a signal, 1 when the DNS listener cannot start.
    int run();

private:
    bool start();
    void createHost();
    void configureAlerts();
    void loadBlocklist();
    bool startDns();
    void createTamperWatch();
    void startControl();
    void startMonitor();
    void checkFilterState();
    void stop();

    Settings settings;
    StderrLine stderrLine;

    // Work that may block (tools, waits) runs on the pool; delayed host work on the
    // utility queue.
    std::unique_ptr<BlockingPool> work;
    std::unique_ptr<SerialQueue> utility;
    // The host: where its paths live, its tools, its user, and the units that act on it.
    HostRoot hostRoot = HostRoot::fromEnvironment();
    std::unique_ptr<ProcessToolRunner> tools;
    std::unique_ptr<HostConsoleUser> console;
    std::unique_ptr<SystemDNS> systemDNS;
    std::unique_ptr<PrivateRelay> relay;
    std::unique_ptr<BrowserRestart> browserRestart;
    // The uninstaller's delayed exit waits behind nothing else.
    std::unique_ptr<SerialQueue> uninstallQ;
    std::unique_ptr<Uninstaller> uninstaller;
    // The filter's state and every change of the host's DNS settings, on a queue of its
    // own; what it keeps lives beside the PIN digest.
    std::unique_ptr<SerialQueue> filterQ;
    std::unique_ptr<FilterController> filter;

    // Alert reporting, when configured: the reporter, its token queue and HTTP session.
    std::unique_ptr<HttpSession> http;
    std::unique_ptr<SerialQueue> tokenQ;
    std::shared_ptr<AlertReporter> alerts;
    std::unique_ptr<Blocklist> blocklist;
    std::unique_ptr<BlockEventLog> blockLog;
    // The tamper watch's canary, which the DNS listener marks as come.
    Canary canary;
    asio::io_context dnsLoop{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> dnsWork;
    std::unique_ptr<DnsServer> server;
    std::thread dnsThread;
    // The control API: the PIN store, what its routes act on, and the server, which is
    // absent when it could not start.
    std::unique_ptr<PinStore> pinStore;
    std::unique_ptr<FilterHost> filterHost;
    std::unique_ptr<EventReporter> events;
    std::unique_ptr<ControlRoutes> routes;
    std::unique_ptr<ControlServer> control;
    // Ticks on the utility queue, which stops before it goes.
    std::unique_ptr<PrivacyProxyMonitor> proxyMonitor;
    // The tamper watch, on a queue of its own: its canary lookup may take seconds. Its
    // lookups run tools under a shorter limit than the others.
    std::unique_ptr<SerialQueue> tamperQ;
    std::unique_ptr<ProcessToolRunner> lookupTools;
    std::unique_ptr<SystemLookup> lookup;
    std::unique_ptr<TamperWatch> tamperWatch;
};

}  // namespace vesk
