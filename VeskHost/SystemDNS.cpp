#include "SystemDNS.hpp"

#include <algorithm>

#include "VeskPlatform/Text.hpp"

namespace vesk {

ToolRunner::Result SystemDNS::networksetup(const ToolRunner::Args& args) {
    return tools.capture("/usr/sbin/networksetup", args, ToolRunner::Capture::outputAndErrors);
}

// The services in order, each on a line of its own as "(N) NAME", or "(*) NAME" when it is
// disabled, followed by its hardware port and device in parentheses. The other listing
// marks a disabled service with a leading "*", which a service's own name may begin with.
// Names are used exactly as printed.
std::vector<std::string> SystemDNS::services() {
    std::string listing = networksetup({"-listnetworkserviceorder"}).out;
    std::vector<std::string> enabled;
    for (auto line : nonEmptyLines(listing)) {
        if (auto name = enabledService(line)) enabled.emplace_back(*name);
    }
    return enabled;
}

std::optional<std::string_view> SystemDNS::enabledService(std::string_view line) {
    size_t close = line.find(") ");
    if (!line.starts_with('(') || close == std::string_view::npos || close == 1) return std::nullopt;
    if (line.substr(1, close - 1).find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    if (close + 2 >= line.size()) return std::nullopt;
    return line.substr(close + 2);
}

void SystemDNS::setAll(const std::string& value) {
    for (const auto& service : services()) networksetup({"-setdnsservers", service, value});
    flushDNSCache();
}

void SystemDNS::enable() { setAll("127.0.0.1"); }

void SystemDNS::disable() { setAll("Empty"); }

// The tool prints one address per line, or a sentence when there are none.
SystemDNS::Reading SystemDNS::readServers() {
    Reading found;
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

// Whole entries: a server 127.0.0.10 is someone else's.
bool SystemDNS::pointsAtFilter(const Reading& reading) {
    return std::any_of(reading.begin(), reading.end(), [](const ServiceServers& entry) {
        return std::find(entry.servers.begin(), entry.servers.end(), "127.0.0.1") != entry.servers.end();
    });
}

bool SystemDNS::onlyFilter(const ServiceServers& entry) { return entry.servers == std::vector<std::string>{"127.0.0.1"}; }

bool SystemDNS::pointAtFilter(const std::string& service) {
    return networksetup({"-setdnsservers", service, "127.0.0.1"}).code == 0;
}

// An address the network gave: not "none", and not one the Mac gave itself for want of a
// network (169.254/16, fe80::/10).
bool SystemDNS::linkActive(std::string_view info) {
    for (auto line : nonEmptyLines(info)) {
        std::string_view address;
        if (line.starts_with("IP address: ")) {
            address = line.substr(12);
            if (address.starts_with("169.254.")) continue;
        } else if (line.starts_with("IPv6 IP address: ")) {
            address = line.substr(17);
            if (address.starts_with("fe80:")) continue;
        } else {
            continue;
        }
        if (!address.empty() && address != "none") return true;
    }
    return false;
}

bool SystemDNS::online() {
    auto names = services();
    return std::any_of(names.begin(), names.end(),
                       [this](const std::string& service) { return linkActive(networksetup({"-getinfo", service}).out); });
}

void SystemDNS::flushDNSCache() {
    tools.run("/usr/bin/dscacheutil", {"-flushcache"});
    // mDNSResponder drops its cache on a hang-up.
    tools.run("/usr/bin/killall", {"-HUP", "mDNSResponder"});
}

}  // namespace vesk
