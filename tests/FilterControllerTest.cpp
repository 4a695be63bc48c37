// The filter controller, and the system's DNS settings it reads and sets.
#include "VeskHost/FilterController.hpp"
#include "VeskHost/NetworkResolvers.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>

#include "VeskPlatform/Files.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

// A host whose networksetup keeps each service's servers, on a real serial queue; each
// tool call is shown to duringCall first.
class FilterControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tools.script([this](const std::string& line) {
            if (duringCall) duringCall(line);
            return networksetup(services, line).value_or(ToolRunner::Result{0, ""});
        });
    }
    bool hostPointed() { return services["Wi-Fi"] == "127.0.0.1\n" || services["Ethernet"] == "127.0.0.1\n"; }

    TempDir dir;
    FakeToolRunner tools;
    std::map<std::string, std::string> services{{"Wi-Fi", ""}, {"Ethernet", ""}};
    std::function<void(const std::string& line)> duringCall;
    FakeClock clock;
    SystemDNS systemDNS{tools};
    HostRoot root{dir.path()};
    ManualQueue exits;
    Uninstaller uninstaller{systemDNS, tools, root, exits, [] {}};
    SerialQueue queue{"test.filter"};
    FilterController controller{{systemDNS, uninstaller, dir.path() + "/etc", clock}, queue};
};

// Requests that overlap run in turn, each answering with the state after its own action,
// while readers take the snapshot without waiting on the tool. A tamper restore never
// outlives a PIN-guarded disable, whichever came first.
TEST_F(FilterControllerTest, OverlappingChangesRunInTurn) {
    // What each request saw right after its own action: a snapshot read later may already
    // show the other's.
    struct Seen { bool pointed, intended; };
    auto seen = [](const FilterController::Snapshot& after) { return Seen{after->pointed, after->intended}; };
    using Action = std::function<Seen()>;
    Action on = [&] { return seen(controller.enable().after); }, off = [&] { return seen(controller.disable().after); };
    Action look = [&] { bool looked = controller.checkSettings().intended; return Seen{looked, looked}; };
    const struct {
        const char* what;
        Action first;
        const char* heldAt;
        Action second;
        bool firstPointed, lastPointed;
    } cases[] = {
        {"enable, then disable", on, "-setdnsservers Ethernet 127", off, true, false},
        {"disable, then enable", off, "-setdnsservers Ethernet Empty", on, false, true},
        {"tamper look, then disable", look, "-getdnsservers Wi-Fi", off, true, false},
        {"disable, then tamper look", off, "-setdnsservers Ethernet Empty", look, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        controller.enable();
        services["Wi-Fi"] = "8.8.8.8\n";
        // The first waits in the held call while the second is asked for.
        std::promise<void> entered, released;
        bool holding = true;
        duringCall = [&](const std::string& line) {
            if (!holding || line.find(c.heldAt) == std::string::npos) return;
            holding = false;
            entered.set_value();
            released.get_future().wait();
        };
        auto first = std::async(std::launch::async, c.first);
        entered.get_future().wait();
        auto second = std::async(std::launch::async, c.second);
        EXPECT_TRUE(controller.snapshot()->intended);  // as before either began
        released.set_value();
        EXPECT_EQ(first.get().pointed, c.firstPointed);
        auto last = second.get();
        duringCall = nullptr;
        // Its answer, its state and the host agree.
        EXPECT_EQ(std::tuple(last.pointed, last.intended, hostPointed()), std::tuple(c.lastPointed, c.lastPointed, c.lastPointed));
    }
}

// From a directory that cannot be trusted nothing is read, nor written.
TEST_F(FilterControllerTest, AnUntrustedDirectoryIsNeitherReadNorWritten) {
    controller.enable();
    FilterController untrusting{{systemDNS, uninstaller, dir.path() + "/etc", clock, [] { return false; }}, queue};
    EXPECT_FALSE(untrusting.snapshot()->intended);
    untrusting.disable();
    EXPECT_EQ(Files::readAll(dir.path() + "/etc/filter.intended"), "on");
}

// The partner is told first, and only when filtering was meant to be on.
TEST_F(FilterControllerTest, UninstallTellsFirstWhenMeantToBeOn) {
    std::vector<std::string> order;
    auto tell = [&] { order.push_back("told with " + std::to_string(tools.calls().size()) + " calls made"); };
    controller.uninstall(tell);
    controller.enable();
    tools.clear();
    controller.uninstall(tell);
    EXPECT_EQ(order, std::vector<std::string>{"told with 0 calls made"});
    EXPECT_FALSE(hostPointed());
    EXPECT_EQ(exits.waiting(), 2u);
}

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

// The network's own resolvers, from the leases of the enabled services' devices, as a Mac
// prints them: never this machine's addresses on the real port, each once, in order.
TEST(NetworkResolversTest, LearnsEachEnabledServicesLease) {
    const std::string listing = std::string(header) +
                                "(1) Wi-Fi\n(Hardware Port: Wi-Fi, Device: en0)\n\n"
                                "(*) Bluetooth PAN\n(Hardware Port: Bluetooth PAN, Device: en3)\n\n"
                                "(2) Thunderbolt Bridge\n(Hardware Port: Thunderbolt Bridge, Device: bridge0)\n\n"
                                "(3) VPN\n(Hardware Port: VPN, Device: )\n\n(4) USB LAN\n(Hardware Port: USB LAN, Device: en7)\n";
    const std::string lease = "op = BOOTREPLY\nyiaddr = 192.168.1.20\noptions:\nOptions count is 5\n"
                              "router (ip_mult): {192.168.1.1}\n"
                              "domain_name_server (ip_mult): {192.168.1.1, 127.0.0.1, 127.0.0.53, fe80::1, 192.168.1.1, 0.0.0.0}\n"
                              "domain_name (string): Home.LAN.\nend (none): \n";
    FakeToolRunner tools;
    tools.script([&](const std::string& line) -> ToolRunner::Result {
        if (line == listAll) return {0, listing};
        if (line == "/usr/sbin/ipconfig getpacket en0") return {0, lease};
        if (line == "/usr/sbin/ipconfig getpacket en7") return {0, "domain_name_server (ip_mult): {10.0.0.53}\n"};
        return {1, ""};  // no lease
    });
    auto network = NetworkResolvers(tools, 53, {"127.0.0.1", 53}).read();
    std::vector<std::string> names;
    for (const auto& resolver : network.resolvers) names.push_back(resolver.name);
    EXPECT_EQ(names, (std::vector<std::string>{"192.168.1.1", "10.0.0.53"}));
    EXPECT_EQ(network.searchDomains, std::vector<std::string>{"home.lan"});
    const std::string packet = "/usr/sbin/ipconfig getpacket ";
    EXPECT_EQ(tools.calls(), (std::vector<std::string>{listAll, packet + "en0", packet + "bridge0", packet + "en7"}));
    // On another port (a test's resolver on loopback) only the listener itself is left out.
    network = NetworkResolvers::toNetwork({{"127.0.0.2", "127.0.0.1"}, {}}, 5399, {"127.0.0.1", 5399});
    ASSERT_EQ(network.resolvers.size(), 1u);
    EXPECT_EQ(network.resolvers[0].name, "127.0.0.2:5399");
}

}  // namespace
}  // namespace vesk::test
