#include "NetworkResolvers.hpp"

#include <arpa/inet.h>

#include <algorithm>

#include "VeskHost/SystemDNS.hpp"
#include "VeskPlatform/Text.hpp"

namespace vesk {
namespace {

// "NAME (TYPE): VALUE"; the value of the option named, or none.
std::optional<std::string_view> option(std::string_view line, std::string_view name) {
    if (!line.starts_with(name) || line.substr(name.size(), 2) != " (") return std::nullopt;
    size_t colon = line.find("): ", name.size());
    if (colon == std::string_view::npos) return std::nullopt;
    return line.substr(colon + 3);
}

template <typename T>
void addOnce(std::vector<T>& list, T item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

}  // namespace

std::vector<std::string> NetworkResolvers::enabledDevices(std::string_view listing) {
    std::vector<std::string> devices;
    bool enabled = false;
    for (auto line : nonEmptyLines(listing)) {
        if (line.starts_with("(Hardware Port: ")) {
            size_t device = line.rfind(", Device: ");
            if (enabled && device != std::string_view::npos && line.ends_with(')')) {
                auto name = line.substr(device + 10, line.size() - device - 11);
                if (!name.empty()) devices.emplace_back(name);
            }
            enabled = false;
        } else if (line.starts_with('(')) {
            enabled = SystemDNS::enabledService(line).has_value();
        }
    }
    return devices;
}

NetworkResolvers::Learned NetworkResolvers::fromPacket(std::string_view packet) {
    Learned learned;
    for (auto line : nonEmptyLines(packet)) {
        if (auto servers = option(line, "domain_name_server")) {
            if (!servers->starts_with('{') || !servers->ends_with('}')) continue;
            for (auto server : split(servers->substr(1, servers->size() - 2), ", ", EmptyPieces::drop)) {
                in_addr parsed{};
                if (inet_pton(AF_INET, std::string(server).c_str(), &parsed) == 1) addOnce(learned.servers, std::string(server));
            }
        } else if (auto domain = option(line, "domain_name")) {
            DomainName name(*domain);
            if (!name.empty() && name.text().find_first_of(" \t{}") == std::string::npos) {
                addOnce(learned.searchDomains, name.text());
            }
        }
    }
    return learned;
}

ForwardRouter::Network NetworkResolvers::toNetwork(const Learned& learned, uint16_t port, const Listener& self) {
    ForwardRouter::Network network;
    for (const auto& server : learned.servers) {
        auto upstream = DnsForwarder::upstream(server, port);
        if (!upstream || upstream->address == 0 || (server == self.host && port == self.port)) continue;
        if ((upstream->address >> 24) == 127 && port == 53) continue;
        network.resolvers.push_back(*upstream);
    }
    network.searchDomains = learned.searchDomains;
    return network;
}

ForwardRouter::Network NetworkResolvers::read() {
    Learned all;
    auto listing = tools.capture("/usr/sbin/networksetup", {"-listnetworkserviceorder"}, ToolRunner::Capture::outputOnly);
    if (listing.code != 0) return toNetwork(all, port, self);
    for (const auto& device : enabledDevices(listing.out)) {
        auto packet = tools.capture("/usr/sbin/ipconfig", {"getpacket", device}, ToolRunner::Capture::outputOnly);
        if (packet.code != 0) continue;  // no lease: no link, or not configured by DHCP
        auto learned = fromPacket(packet.out);
        for (auto& server : learned.servers) addOnce(all.servers, std::move(server));
        for (auto& domain : learned.searchDomains) addOnce(all.searchDomains, std::move(domain));
    }
    return toNetwork(all, port, self);
}

}  // namespace vesk
