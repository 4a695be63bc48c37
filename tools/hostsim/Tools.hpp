#pragma once

#include <optional>
#include <string_view>

#include "Host.hpp"

namespace vesk::hostsim {

// Each tool takes its arguments (argv[0] excluded), writes to standard output and error as
// the host's own does, and returns its exit status.
int runNetworksetup(const Host& host, const Args& args);
int runIpconfig(const Host& host, const Args& args);
int runDscacheutil(const Host& host, const Args& args);
int runKillall(const Host& host, const Args& args);
int runPgrep(const Host& host, const Args& args);
int runOpen(const Host& host, const Args& args);
int runDefaults(const Host& host, const Args& args);
int runOsascript(const Host& host, const Args& args);
int runLaunchctl(const Host& host, const Args& args);
int runBrew(const Host& host, const Args& args);
int runSudo(const Host& host, const Args& args);

// dscacheutil -q host -a name NAME: the host's own lookup of the name, printed as dscacheutil
// prints it.
int lookUpHost(const Host& host, const std::string& name);

// The server the host's lookups fall back on: the first of the primary network service's
// servers ("" when it has none); none when no enabled service has a link (no network).
struct PrimaryServer {
    std::string service, server;
};
std::optional<PrimaryServer> primaryDnsServer(const Host& host);
// vesk-hostsim link ROOT SERVICE up|down: the service's link, as a cable or Wi-Fi gives it.
int setLink(const Host& host, const std::string& service, bool up);
// vesk-hostsim dhcp ROOT SERVICE SERVERS [DOMAIN]: what the network's DHCP server hands
// out on the service (SERVERS comma-separated, or "none").
int setDhcp(const Host& host, const std::string& service, const std::string& servers, const std::string& domain);
// Runs the host's tool (words: its host path, then its arguments) in place of this process,
// with its local path as argv[0], which is how it finds the host; caller names who failed.
int execTool(const Host& host, const std::string& caller, const Args& words);

struct Tool {
    std::string_view name;      // the basename it is invoked by
    std::string_view hostPath;  // where the host keeps it
    int (*run)(const Host&, const Args&);
};

inline constexpr Tool tools[] = {
    {"networksetup", "/usr/sbin/networksetup", runNetworksetup},
    {"ipconfig", "/usr/sbin/ipconfig", runIpconfig},
    {"dscacheutil", "/usr/bin/dscacheutil", runDscacheutil},
    {"killall", "/usr/bin/killall", runKillall},
    {"pgrep", "/usr/bin/pgrep", runPgrep},
    {"open", "/usr/bin/open", runOpen},
    {"defaults", "/usr/bin/defaults", runDefaults},
    {"osascript", "/usr/bin/osascript", runOsascript},
    {"launchctl", "/bin/launchctl", runLaunchctl},
    {"brew", "/opt/homebrew/bin/brew", runBrew},
    {"sudo", "/usr/bin/sudo", runSudo},
};

// Lays out a fresh host under root, with its tools as links to program; an existing one
// is reset. Throws on failure.
void install(const std::string& root, const std::string& program);

}  // namespace vesk::hostsim
