#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <functional>
#include <type_traits>
#include <vector>
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
#include "VeskHost/NetworkResolvers.hpp"
#include "VeskHost/PrivacyProxyMonitor.hpp"
#include "VeskHost/PrivateRelay.hpp"
#include "VeskHost/SystemDNS.hpp"
#include "VeskHost/SystemLookup.hpp"
#include "VeskHost/TamperWatch.hpp"
#include "VeskHost/Uninstaller.hpp"
#include "VeskLists/BlocklistUpdater.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/StateDir.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "vesk_dnsd/Options.hpp"

namespace vesk {

// What the daemon has brought up, in the order it did, each with how its work stops (a
// queue, a loop, a listener). Stopping stops them all, the last first, and only then lets
// them go, the last first: nothing is released while anything may still call into it.
class DaemonParts {
public:
    template <typename T>
    T& add(std::shared_ptr<T> part, std::type_identity_t<std::function<void(T&)>> stop = nullptr) {
        T& added = *part;
        entries.push_back({stop ? std::function<void()>([&added, stop] { stop(added); }) : nullptr, std::move(part)});
        return added;
    }
    template <typename T>
    T& add(std::unique_ptr<T> part, std::type_identity_t<std::function<void(T&)>> stop = nullptr) {
        return add(std::shared_ptr<T>(std::move(part)), std::move(stop));
    }
    void stop();

private:
    struct Entry {
        std::function<void()> stop;
        std::shared_ptr<void> owned;
    };
    std::vector<Entry> entries;
};

// The composition root: creates every unit of the daemon in its documented order (which is
// also the order they stop in, reversed) and wires them; it holds no logic of its own.
class Daemon {
public:
    using StderrLine = std::function<void(const std::string&)>;

    Daemon(Settings settings, StderrLine stderrLine);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The whole life of the process: starts, serves until SIGTERM or SIGINT, stops.
    // Returns the exit status: 0 after a signal, 1 when the DNS listener cannot start.
    // SIGHUP reads the blocklist file again and refreshes every downloaded list.
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
    void createStateDir();
    void checkFilterState();
    void learnNetwork();
    // Tells the partner that a state directory cannot be trusted; false: nobody to tell.
    bool reportUntrusted(const std::string& reason);

    Settings settings;
    StderrLine stderrLine;
    HostRoot hostRoot = HostRoot::fromEnvironment();
    // The control API's token file: the alert reporter's when there is one.
    std::string controlTokenFile;

    // The units, owned by `parts` (declared last, so that they go before anything they
    // use); these pointers are for wiring. Work that may block (tools, waits) runs on the
    // pool; delayed host work on the utility queue.
    BlockingPool* work = nullptr;
    SerialQueue* utility = nullptr;
    // The host: its tools, its user, and the units that act on it.
    ProcessToolRunner* tools = nullptr;
    HostConsoleUser* console = nullptr;
    SystemDNS* systemDNS = nullptr;
    PrivateRelay* relay = nullptr;
    BrowserRestart* browserRestart = nullptr;
    Uninstaller* uninstaller = nullptr;
    // Whether the directories of the state files can be trusted.
    StateDir* stateDir = nullptr;
    // The filter's state and every change of the host's DNS settings.
    FilterController* filter = nullptr;
    // Alert reporting, when configured.
    AlertReporter* alerts = nullptr;
    // The blocklist in force, and what keeps it current.
    LiveBlocklist* blocklist = nullptr;
    BlocklistUpdater* lists = nullptr;
    BlockingPool* listsWork = nullptr;
    BlockEventLog* blockLog = nullptr;
    // The tamper watch's canary, which the DNS listener marks as come.
    Canary canary;
    // What the network handed out, learned on the utility queue and given to the listener.
    NetworkResolvers* networkResolvers = nullptr;
    DnsServer* dns = nullptr;
    asio::io_context dnsLoop{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> dnsWork;
    std::thread dnsThread;
    // The control API's server; none when it could not start.
    ControlServer* control = nullptr;
    TamperWatch* tamperWatch = nullptr;
    DaemonParts parts;
};

}  // namespace vesk
