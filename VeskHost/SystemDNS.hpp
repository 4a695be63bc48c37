#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VeskPlatform/ToolRunner.hpp"

namespace vesk {

// The host's DNS settings through networksetup: pointing every enabled network service at
// the filter or away from it, reading them, and flushing the caches. Holds no state: what
// is known of the settings is FilterController's.
class SystemDNS {
public:
    explicit SystemDNS(ToolRunner& runner) : tools(runner) {}
    SystemDNS(const SystemDNS&) = delete;
    SystemDNS& operator=(const SystemDNS&) = delete;

    // 127.0.0.1 as the only DNS server of every enabled service, then the cache flush.
    void enable();
    // Every enabled service's DNS servers cleared, then the cache flush.
    void disable();
    // Makes the host forget its cached DNS answers.
    void flushDNSCache();

    struct ServiceServers {
        std::string service;
        std::vector<std::string> servers;  // as the host lists them; empty: none set
        bool operator==(const ServiceServers&) const = default;
    };
    using Reading = std::vector<ServiceServers>;
    // Each enabled service with its DNS servers, in the host's order; a service whose
    // servers the tool would not give is left out.
    Reading readServers();
    // Whether some service has 127.0.0.1 among its servers: the filter is on.
    static bool pointsAtFilter(const Reading& reading);
    // Whether the service has 127.0.0.1 as its only server.
    static bool onlyFilter(const ServiceServers& entry);
    // Points one service at the filter, as enable does; false when the tool refused. The
    // caller flushes the cache once it has put back all it needs to.
    bool pointAtFilter(const std::string& service);
    // Whether some enabled service has a network: without one the host sends no lookup
    // anywhere, the filter included.
    bool online();
    // Whether networksetup -getinfo's answer shows an address a network gave.
    static bool linkActive(std::string_view info);
    // An enabled service's name, exactly as networksetup -listnetworkserviceorder prints it
    // on its line "(N) NAME"; none for a disabled one, "(*) NAME", or any other line.
    static std::optional<std::string_view> enabledService(std::string_view line);

private:
    ToolRunner::Result networksetup(const ToolRunner::Args& args);
    std::vector<std::string> services();
    void setAll(const std::string& value);

    ToolRunner& tools;
};

}  // namespace vesk
