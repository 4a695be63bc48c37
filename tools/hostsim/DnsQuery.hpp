#pragma once

// The simulated host's DNS on the wire: one query to one server, over UDP, as the Mac's
// resolver would send it.

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::hostsim {

struct Address {
    bool v6;
    std::string text;
};

// What came of one source: its addresses, and a few words on how they came or why none did.
struct Result {
    std::vector<Address> addresses;
    std::string outcome;
};

// The name as names compare: lower case, without one trailing dot.
std::string canonical(std::string name);
// "1 address", "2 addresses".
std::string counted(size_t addresses);

// Asks the server for the name's A records as the simulated network lets it: a server off
// this machine is never reached, so it is not asked at all; 127.0.0.1 is asked on
// VESK_HOSTSIM_DNS_PORT when that is set.
Result askServer(const std::string& server, uint16_t port, const std::string& name);

}  // namespace vesk::hostsim
