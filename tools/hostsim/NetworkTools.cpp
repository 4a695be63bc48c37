// networksetup, ipconfig and dscacheutil: the network services' DNS servers, what DHCP
// handed out on each, the resolver cache and the host's own lookups (made in Lookup.cpp).

#include <algorithm>
#include <functional>
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

// A made-up address the network gave the service, stable while the list does not change.
void printInfo(const Service& service, size_t index) {
    std::cout << "DHCP Configuration\n";
    if (service.linkUp) {
        std::cout << "IP address: 192.168.1." << 10 + index << "\n"
                  << "Subnet mask: 255.255.255.0\n"
                  << "Router: 192.168.1.1\n";
    }
    std::cout << "Client ID: \n"
                 "IPv6: Automatic\n"
                 "IPv6 IP address: none\n"
                 "IPv6 Router: none\n";
}

int networksetupUsage() {
    std::cerr << "Usage: networksetup -listallnetworkservices\n"
                 "       networksetup -listnetworkserviceorder\n"
                 "       networksetup -getinfo <networkservice>\n"
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
    if (args.size() == 1 && args[0] == "-listnetworkserviceorder") {
        std::cout << "An asterisk (*) denotes that a network service is disabled.\n";
        auto services = loadServices(host);
        for (size_t i = 0; i < services.size(); ++i) {
            const auto& service = services[i];
            std::cout << '(' << (service.enabled ? std::to_string(i + 1) : "*") << ") " << service.name << '\n'
                      << "(Hardware Port: " << service.name << ", Device: en" << i << ")\n\n";
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == "-getinfo") {
        auto services = loadServices(host);
        auto service = findService(services, args[1]);
        if (service == services.end()) return unknownService(args[1]);
        printInfo(*service, static_cast<size_t>(service - services.begin()));
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
        if (service->refusesDns) {
            std::cout << "** Error: The parameters were not valid.\n";
            return 4;
        }
        service->servers.assign(args.begin() + 2, args.end());
        if (service->servers == std::vector<std::string>{"Empty"}) service->servers.clear();
        saveServices(host, services);
        return 0;
    }
    return networksetupUsage();
}

// The primary service is the first enabled one with a link.
std::optional<PrimaryServer> primaryDnsServer(const Host& host) {
    for (const auto& service : loadServices(host)) {
        if (service.enabled && service.linkUp) {
            return PrimaryServer{service.name, service.servers.empty() ? "" : service.servers[0]};
        }
    }
    return std::nullopt;
}

namespace {

// Changes one service's record, as the network or its user would.
int changeService(const Host& host, const std::string& name, const std::function<void(Service&)>& change) {
    StateLock lock(host);
    auto services = loadServices(host);
    auto service = findService(services, name);
    if (service == services.end()) {
        std::cerr << "vesk-hostsim: no network service " << name << '\n';
        return exitUsage;
    }
    change(*service);
    saveServices(host, services);
    return 0;
}

}  // namespace

int setLink(const Host& host, const std::string& name, bool up) {
    return changeService(host, name, [up](Service& service) { service.linkUp = up; });
}

// A service's device is enN, N its place in the list, as -listnetworkserviceorder says. A
// device with no lease (a disabled service, no link, no such device) prints nothing.
int runIpconfig(const Host& host, const Args& args) {
    if (args.size() != 2 || args[0] != "getpacket") {
        std::cerr << "usage: ipconfig <command> <args>\n"
                     "where <command> is one of waitall, getifaddr, ifcount, getoption, getpacket, set\n";
        return exitUsage;
    }
    auto services = loadServices(host);
    for (size_t i = 0; i < services.size(); ++i) {
        const auto& service = services[i];
        if (args[1] != "en" + std::to_string(i) || !service.enabled || !service.linkUp) continue;
        std::cout << "op = BOOTREPLY\nhtype = 1\nflags = 0\nhlen = 6\nhops = 0\nxid = 0x5e1f4a2b\nsecs = 0\n"
                     "ciaddr = 0.0.0.0\nyiaddr = 192.168.1."
                  << 10 + i
                  << "\nsiaddr = 192.168.1.1\ngiaddr = 0.0.0.0\nchaddr = a4:83:e7:0:0:" << i
                  << "\nsname = \nfile = \noptions:\n"
                  << "Options count is " << 5 + !service.dhcpServers.empty() + !service.dhcpDomain.empty() << "\n"
                  << "dhcp_message_type (uint8): ACK 0x5\nserver_identifier (ip): 192.168.1.1\n"
                     "lease_time (uint32): 0x15180\nsubnet_mask (ip): 255.255.255.0\nrouter (ip_mult): {192.168.1.1}\n";
        if (!service.dhcpServers.empty()) {
            std::cout << "domain_name_server (ip_mult): {" << joinWith(service.dhcpServers, ", ") << "}\n";
        }
        if (!service.dhcpDomain.empty()) std::cout << "domain_name (string): " << service.dhcpDomain << "\n";
        std::cout << "end (none): \n";
        return 0;
    }
    return 1;
}

int setDhcp(const Host& host, const std::string& name, const std::string& servers, const std::string& domain) {
    return changeService(host, name, [&](Service& service) {
        service.dhcpServers.clear();
        if (servers != "none") {
            for (auto server : split(servers, ",", EmptyPieces::drop)) service.dhcpServers.emplace_back(server);
        }
        service.dhcpDomain = domain;
    });
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
