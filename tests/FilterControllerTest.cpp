#include "VeskHost/FilterController.hpp"

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
    using Action = std::function<FilterController::Snapshot()>;
    Action on = [&] { return controller.enable().after; }, off = [&] { return controller.disable().after; };
    Action look = [&] { return controller.checkSettings(), controller.snapshot(); };
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
        EXPECT_EQ(first.get()->pointed, c.firstPointed);
        auto last = second.get();
        duringCall = nullptr;
        EXPECT_EQ(last->pointed, c.lastPointed);
        EXPECT_EQ(last->intended, c.lastPointed);
        EXPECT_EQ(hostPointed(), c.lastPointed);
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

}  // namespace
}  // namespace vesk::test
