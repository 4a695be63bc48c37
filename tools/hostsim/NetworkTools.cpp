// networksetup and dscacheutil: the network services' DNS servers, the resolver cache and
// the host's own lookups (made in Lookup.cpp).

#include <algorithm>
#include <iostream>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

std::vector<Service> loadServices(const Host& host) {
    std::vector<Service> services;
    for (const auto& line : readLines(host.state("services"))) services.push_back(parseService(line));
    return services;
}

void saveServices(const Host& host, const std::vector<Service>& services) {
    std::vector<std::string> lines;
    for (const auto& service : services) lines.push_back(serviceLine(service));
    writeLines(host.state("services"), lines);
}

std::vector<Service>::iterator findService(std::vector<Service>& services, const std::string& name) {
    return std::find_if(services.begin(), services.end(),
                        [&](const Service& service) { return service.name == name; });
}

// networksetup reports its errors on standard output.
int unknownService(const std::string& name) {
    std::cout << name << " is not a recognized network service.\n"
              << "** Error: The parameters were not valid.\n";
    return 4;
}

int networksetupUsage() {
    std::cerr << "Usage: networksetup -listallnetworkservices\n"
                 "       networksetup -getdnsservers <networkservice>\n"
                 "       networksetup -setdnsservers <networkservice> <dns1> [dns2] [...]\n"
                 "       networksetup -setdnsservers <networkservice> Empty\n";
    return exitUsage;
}

}  // namespace

int runNetworksetup(const Host& host, const Args& args) {
    if (args.size() == 1 && args[0] == "-listallnetworkservices") {
        std::cout << "An asterisk (*) denotes that a network service is disabled.\n";
        for (const auto& service : loadServices(host)) {
            std::cout << (service.enabled ? "" : "*") << service.name << '\n';
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == "-getdnsservers") {
        auto services = loadServices(host);
        auto service = findService(services, args[1]);
        if (service == services.end()) return unknownService(args[1]);
        if (service->servers.empty()) {
            std::cout << "There aren't any DNS Servers set on " << service->name << ".\n";
        }
        for (const auto& server : service->servers) std::cout << server << '\n';
        return 0;
    }
    if (args.size() >= 3 && args[0] == "-setdnsservers") {
        StateLock lock(host);
        auto services = loadServices(host);
        auto service = findService(services, args[1]);
        if (service == services.end()) return unknownService(args[1]);
        service->servers.assign(args.begin() + 2, args.end());
        if (service->servers == std::vector<std::string>{"Empty"}) service->servers.clear();
        saveServices(host, services);
        return 0;
    }
    return networksetupUsage();
}

std::optional<PrimaryServer> primaryDnsServer(const Host& host) {
    for (const auto& service : loadServices(host)) {
        if (service.enabled) return PrimaryServer{service.name, service.servers.empty() ? "" : service.servers[0]};
    }
    return std::nullopt;
}

int runDscacheutil(const Host& host, const Args& args) {
    if (args.size() == 1 && args[0] == "-flushcache") return 0;
    if (args.size() == 5 && args[0] == "-q" && args[1] == "host" && args[2] == "-a" && args[3] == "name" &&
        !args[4].empty()) {
        return lookUpHost(host, args[4]);
    }
    std::cerr << "Usage: dscacheutil -flushcache\n"
                 "       dscacheutil -q host -a name <name>\n";
    return exitUsage;
}

}  // namespace vesk::hostsim
