#include "SystemDNS.hpp"

#include "VeskPlatform/Text.hpp"

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

// A plain substring test, as on the tool's own answer: "127.0.0.10" counts too.
bool SystemDNS::pointsAtFilter(const Reading& reading) {
    for (const auto& entry : reading) {
        for (const auto& server : entry.servers) {
            if (server.find("127.0.0.1") != std::string::npos) return true;
        }
    }
    return false;
}

bool SystemDNS::onlyFilter(const ServiceServers& entry) { return entry.servers == std::vector<std::string>{"127.0.0.1"}; }

bool SystemDNS::pointAtFilter(const std::string& service) {
    return networksetup({"-setdnsservers", service, "127.0.0.1"}).code == 0;
}

void SystemDNS::flushDNSCache() {
    tools.run("/usr/bin/dscacheutil", {"-flushcache"});
    // mDNSResponder drops its cache on a hang-up.
    tools.run("/usr/bin/killall", {"-HUP", "mDNSResponder"});
}

}  // namespace vesk
