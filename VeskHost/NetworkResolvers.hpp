#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "VeskDNSCore/ForwardRouter.hpp"
#include "VeskPlatform/ToolRunner.hpp"

namespace vesk {

// The resolvers and search domain each network handed out by DHCP, which stay known even
// while every service's own DNS setting is the filter: for every enabled service with a
// lease, in service order, from the host's own tools (networksetup -listnetworkserviceorder
// maps each service to its device, ipconfig getpacket shows the device's lease). Runs
// tools: never on the DNS loop.
class NetworkResolvers {
public:
    struct Learned {
        std::vector<std::string> servers;  // IPv4, in order, each once
        std::vector<std::string> searchDomains;
        bool operator==(const Learned&) const = default;
    };
    // Where the learned servers are asked, and the filter's own listener, never one of them.
    struct Listener {
        std::string host;
        uint16_t port;
    };
    NetworkResolvers(ToolRunner& runner, uint16_t dnsPort, Listener own) : tools(runner), port(dnsPort), self(std::move(own)) {}

    ForwardRouter::Network read();

    // The devices of the enabled services, in service order.
    static std::vector<std::string> enabledDevices(std::string_view listing);
    // A lease's DNS servers and domain name, as ipconfig getpacket prints them.
    static Learned fromPacket(std::string_view packet);
    // As the forwarder takes them: this machine's own addresses are left out (a network
    // never hands those out; our listener would ask itself), but for tests, which run
    // the network's resolver on loopback under another port.
    static ForwardRouter::Network toNetwork(const Learned& learned, uint16_t port, const Listener& self);

private:
    ToolRunner& tools;
    uint16_t port;
    Listener self;
};

}  // namespace vesk
