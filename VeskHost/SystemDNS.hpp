#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VeskPlatform/ToolRunner.hpp"

namespace vesk {

// Points the machine's DNS at the filter and away from it, through networksetup, and
// tells whether the filter is on: on when some enabled network service has 127.0.0.1
// among its DNS servers. The truth lives in the host's settings; the state remembered
// here is the last reading or the last change made here.
class SystemDNS {
public:
    explicit SystemDNS(ToolRunner& runner) : tools(runner) {}
    SystemDNS(const SystemDNS&) = delete;
    SystemDNS& operator=(const SystemDNS&) = delete;

    // 127.0.0.1 as the only DNS server of every enabled service, then the cache flush.
    void enable();
    // Every enabled service's DNS servers cleared, then the cache flush.
    void disable();
    // The remembered state; read from the host on first use.
    bool isEnabled();
    // Reads the state from the host now and remembers it.
    bool refresh();
    // Makes the host forget its cached DNS answers.
    void flushDNSCache();

    struct ServiceServers {
        std::string service;
        std::vector<std::string> servers;  // as the host lists them; empty: none set
    };
    // Each enabled service with its DNS servers; a service whose servers the tool would not
    // give is left out.
    std::vector<ServiceServers> readServers();
    // Points one service at the filter again, as enable does; false when the tool refused.
    // The caller flushes the cache once it has put back all it needs to.
    bool pointAtFilter(const std::string& service);
    // Remembers the state as on without reading it (the caller just put it back).
    void noteEnabled();

private:
    ToolRunner::Result networksetup(const ToolRunner::Args& args);
    std::vector<std::string> services();
    bool computeEnabled();
    void setAll(const std::string& value, bool state);

    ToolRunner& tools;
    std::mutex stateLock;  // guards cachedEnabled
    std::optional<bool> cachedEnabled;
};

}  // namespace vesk
