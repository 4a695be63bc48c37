#include "SystemDNS.hpp"

#include "VeskPlatform/Lines.hpp"

namespace vesk {

ToolRunner::Result SystemDNS::networksetup(const ToolRunner::Args& args) {
    return tools.capture("/usr/sbin/networksetup", args, ToolRunner::Capture::outputAndErrors);
}

// The listing's first line is the tool's header, whatever its wording; a disabled service
// is marked with a leading "*". Names are used exactly as printed.
std::vector<std::string> SystemDNS::services() {
    std::string listing = networksetup({"-listallnetworkservices"}).out;
    auto lines = nonEmptyLines(listing);
    std::vector<std::string> enabled;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i][0] != '*') enabled.emplace_back(lines[i]);
    }
    return enabled;
}

// A plain substring test over the tool's answer: neither its status nor its wording for a
// service without servers matters.
bool SystemDNS::computeEnabled() {
    for (const auto& service : services()) {
        if (networksetup({"-getdnsservers", service}).out.find("127.0.0.1") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The state recorded is the one asked for, not a reading: a service the tool refused is
// not looked at again.
void SystemDNS::setAll(const std::string& value, bool state) {
    for (const auto& service : services()) networksetup({"-setdnsservers", service, value});
    flushDNSCache();
    std::lock_guard lock(stateLock);
    cachedEnabled = state;
}

void SystemDNS::enable() { setAll("127.0.0.1", true); }

void SystemDNS::disable() { setAll("Empty", false); }

bool SystemDNS::isEnabled() {
    std::lock_guard lock(stateLock);
    if (!cachedEnabled) cachedEnabled = computeEnabled();
    return *cachedEnabled;
}

bool SystemDNS::refresh() {
    bool enabled = computeEnabled();
    std::lock_guard lock(stateLock);
    cachedEnabled = enabled;
    return enabled;
}

// The tool prints one address per line, or a sentence when there are none.
std::vector<SystemDNS::ServiceServers> SystemDNS::readServers() {
    std::vector<ServiceServers> found;
    for (auto& service : services()) {
        auto answer = networksetup({"-getdnsservers", service});
        if (answer.code != 0) continue;
        ServiceServers entry{std::move(service), {}};
        for (auto line : nonEmptyLines(answer.out)) {
            if (line.find(' ') == std::string_view::npos) entry.servers.emplace_back(line);
        }
        found.push_back(std::move(entry));
    }
    return found;
}

bool SystemDNS::pointAtFilter(const std::string& service) {
    return networksetup({"-setdnsservers", service, "127.0.0.1"}).code == 0;
}

void SystemDNS::noteEnabled() {
    std::lock_guard lock(stateLock);
    cachedEnabled = true;
}

void SystemDNS::flushDNSCache() {
    tools.run("/usr/bin/dscacheutil", {"-flushcache"});
    // mDNSResponder drops its cache on a hang-up.
    tools.run("/usr/bin/killall", {"-HUP", "mDNSResponder"});
}

}  // namespace vesk
