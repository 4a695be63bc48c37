#include "VeskHost/SystemDNS.hpp"

#include <gtest/gtest.h>

#include <map>

#include "tests/support/FakeHost.hpp"

namespace vesk::test {
namespace {

constexpr const char* header = "An asterisk (*) denotes that a network service is disabled.\n";
constexpr const char* listAll = "/usr/sbin/networksetup -listnetworkserviceorder";
const std::string getServers = "/usr/sbin/networksetup -getdnsservers ";

TEST(SystemDNSTest, ReadsTheStateFromTheEnabledServicesInOrder) {
    struct Case {
        const char* name;
        std::string listing;
        std::map<std::string, std::string> servers;
        bool on;
        std::vector<std::string> asked;  // the services whose servers were read
    };
    // A disabled service is marked "(*)", and skipped; a name may itself begin with "*".
    std::string fourLines = std::string(header) +
                            "(1) Wi-Fi\n(Hardware Port: Wi-Fi, Device: en0)\n\n"
                            "(*) Bluetooth PAN\n(Hardware Port: Bluetooth PAN, Device: en3)\n\n"
                            "(2) Thunderbolt Bridge\n(Hardware Port: Thunderbolt Bridge, Device: bridge0)\n\n"
                            "(3) *VPN\n(Hardware Port: *VPN, Device: )\n";
    const std::vector<std::string> enabled{"Wi-Fi", "Thunderbolt Bridge", "*VPN"};
    const Case cases[] = {
        {"loopback among others", fourLines, {{"*VPN", "127.0.0.1\n8.8.8.8\n"}}, true, enabled},
        {"another address that begins the same", fourLines, {{"Thunderbolt Bridge", "127.0.0.10\n"}}, false, enabled},
        {"names are taken as printed", std::string(header) + "(1)   Spaced Name \r\n", {}, false, {"  Spaced Name \r"}},
        {"a launch error lists nothing", "cannot run /usr/sbin/networksetup", {}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // networksetup answers from the case's texts: the listing, and each service's servers.
        FakeToolRunner tools;
        tools.script([&c](const std::string& line) -> ToolRunner::Result {
            if (line == listAll) return {0, c.listing};
            for (const auto& [service, answer] : c.servers) {
                if (line == getServers + hostsim::shellQuoted(service)) return {0, answer};
            }
            return {0, ""};
        });
        SystemDNS dns(tools);
        EXPECT_EQ(SystemDNS::pointsAtFilter(dns.readServers()), c.on);
        std::vector<std::string> expected{listAll};
        for (const auto& service : c.asked) expected.push_back(getServers + hostsim::shellQuoted(service));
        EXPECT_EQ(tools.calls(), expected);
    }
}

// Only an address a network gave counts as a link: none, or one the Mac gave itself, is none.
TEST(SystemDNSTest, ALinkIsActiveWithAnAddressFromTheNetwork) {
    const std::pair<const char*, bool> cases[] = {
        {"DHCP Configuration\nIP address: 192.168.1.23\nSubnet mask: 255.255.255.0\nRouter: 192.168.1.1\n", true},
        {"IPv6: Automatic\nIP address: none\nIPv6 IP address: none\n", false},
        {"Manual Configuration\nIP address: 169.254.12.3\n", false},
        {"IPv6 IP address: 2001:db8::5\n", true},
        {"IPv6 IP address: fe80::1\n", false},
    };
    for (const auto& [info, active] : cases) EXPECT_EQ(SystemDNS::linkActive(info), active) << info;
}

}  // namespace
}  // namespace vesk::test
