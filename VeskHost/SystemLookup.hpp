#pragma once

#include <optional>
#include <string>
#include <vector>

#include "VeskPlatform/ToolRunner.hpp"

namespace vesk {

// Looks a name up the way the host's own programs do, through the system's resolver and
// its configuration (per-domain resolvers, the hosts file, whatever a profile installed),
// not by asking a server directly. On macOS that is getaddrinfo in this process; elsewhere
// the simulated host's lookup tool (dscacheutil -q host). It may take as long as the
// system's resolver takes: call it off any loop that must not wait.
class SystemLookup {
public:
    struct Result {
        std::vector<std::string> addresses;
        std::optional<std::string> failure;  // why there was no answer, when it was not "no such name"
        // For a log line: "answered 192.0.2.1", "no address", "failed: REASON".
        std::string describe() const;
    };

    explicit SystemLookup(ToolRunner& runner) : tools(runner) {}

    Result lookup(const std::string& name);

    // dscacheutil's answer: "ip_address: A" and "ipv6_address: A" lines, nothing at all
    // when the name has no address.
    static Result parseDscacheutil(const ToolRunner::Result& answer);
    // Through getaddrinfo (the macOS path; elsewhere it would ask this machine's own
    // resolver, never the simulated host's).
    static Result viaGetaddrinfo(const std::string& name);

private:
    ToolRunner& tools;
};

}  // namespace vesk
