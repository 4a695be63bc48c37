#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "VeskPlatform/Text.hpp"

// The simulated host's state files, one record a line: read and written by its tools, and
// by the tests that set up and read back a host.
namespace vesk::hostsim {

// A plain decimal number (digits only), or none.
inline std::optional<long> decimal(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    return parseDecimal(text);
}

// hostsim/services: NAME <tab> on|off <tab> space-separated servers [<tab> flags], the
// flags "down" (no link: no network on it), "refuses-dns" (its DNS servers cannot be set,
// as with some VPN services), "dhcp-dns=A,B" and "dhcp-domain=NAME" (what the network's
// DHCP server handed out; none by default, so that nothing leaves this machine).
struct Service {
    std::string name;
    bool enabled = true;
    std::vector<std::string> servers;
    bool linkUp = true;
    bool refusesDns = false;
    std::vector<std::string> dhcpServers{};
    std::string dhcpDomain{};
    bool operator==(const Service&) const = default;
};
inline Service parseService(std::string_view line) {
    auto fields = split(line, "\t");
    Service service{std::string(fields[0]), fields.size() < 2 || fields[1] != "off", {}, true, false, {}, {}};
    if (fields.size() > 2) {
        for (auto server : split(fields[2], " ", EmptyPieces::drop)) service.servers.emplace_back(server);
    }
    if (fields.size() > 3) {
        for (auto flag : split(fields[3], " ", EmptyPieces::drop)) {
            if (flag == "down") service.linkUp = false;
            if (flag == "refuses-dns") service.refusesDns = true;
            if (flag.starts_with("dhcp-dns=")) {
                for (auto server : split(flag.substr(9), ",", EmptyPieces::drop)) service.dhcpServers.emplace_back(server);
            }
            if (flag.starts_with("dhcp-domain=")) service.dhcpDomain = flag.substr(12);
        }
    }
    return service;
}
inline std::string serviceLine(const Service& service) {
    std::vector<std::string> flags;
    if (!service.linkUp) flags.emplace_back("down");
    if (service.refusesDns) flags.emplace_back("refuses-dns");
    if (!service.dhcpServers.empty()) flags.push_back("dhcp-dns=" + joinWith(service.dhcpServers, ","));
    if (!service.dhcpDomain.empty()) flags.push_back("dhcp-domain=" + service.dhcpDomain);
    std::string line = service.name + (service.enabled ? "\ton\t" : "\toff\t") + joinWith(service.servers, " ");
    if (!flags.empty()) line += '\t' + joinWith(flags, " ");
    return line;
}

// hostsim/processes: NAME, or NAME <tab> ignores-term.
struct Process {
    std::string name;
    bool ignoresTerm = false;  // survives killall -TERM
};
inline Process parseProcess(std::string_view line) {
    auto fields = split(line, "\t");
    return {std::string(fields[0]), fields.size() > 1 && fields[1] == "ignores-term"};
}
inline std::string processLine(const Process& process) {
    return process.name + (process.ignoresTerm ? "\tignores-term" : "");
}

// hostsim/launchd: DOMAIN/LABEL, or DOMAIN/LABEL <tab> PID (sent SIGTERM on bootout).
struct Job {
    std::string target;
    pid_t pid = 0;  // 0: none recorded
};
inline Job parseJob(std::string_view line) {
    auto fields = split(line, "\t");
    Job job{std::string(fields[0]), 0};
    // Only a real process id: kill() takes 0 and -1 as whole groups.
    if (fields.size() > 1) {
        if (auto pid = decimal(fields[1]); pid && *pid > 1 && *pid <= 0x7fffffff) job.pid = static_cast<pid_t>(*pid);
    }
    return job;
}
inline std::string jobLine(const Job& job) { return job.pid > 0 ? job.target + "\t" + std::to_string(job.pid) : job.target; }

}  // namespace vesk::hostsim
