#include "VeskHost/FilterController.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>

#include "VeskPlatform/Files.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

// A host whose networksetup keeps each service's servers, on a real serial queue; a call
// that matches `held` waits there until the test lets it go.
class FilterControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tools.script([this](const std::string& line) -> ToolRunner::Result {
            std::unique_lock guard(lock);
            if (!held.empty() && line.find(held) != std::string::npos) {
                held.clear();
                entered = true;
                changed.notify_all();
                changed.wait(guard, [&] { return released; });
            }
            return networksetup(services, line).value_or(ToolRunner::Result{0, ""});
        });
    }
    // Starts action on another thread and returns once it waits in the held call.
    template <typename Action>
    auto whileHeld(const std::string& call, Action action) {
        std::unique_lock guard(lock);
        held = call;
        entered = released = false;
        auto result = std::async(std::launch::async, action);
        changed.wait(guard, [&] { return entered; });
        return result;
    }
    void release() {
        std::lock_guard guard(lock);
        released = true;
        changed.notify_all();
    }
    bool hostPointed() {
        std::lock_guard guard(lock);
        return services["Wi-Fi"] == "127.0.0.1\n" || services["Ethernet"] == "127.0.0.1\n";
    }

    TempDir dir;
    FakeToolRunner tools;
    std::mutex lock;  // guards the rest of the host
    std::condition_variable changed;
    std::map<std::string, std::string> services{{"Wi-Fi", ""}, {"Ethernet", ""}};
    std::string held;
    bool entered = false, released = false;
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
        auto first = whileHeld(c.heldAt, c.first);
        auto second = std::async(std::launch::async, c.second);
        EXPECT_TRUE(controller.snapshot()->intended);  // as before either began
        release();
        EXPECT_EQ(first.get()->pointed, c.firstPointed);
        auto last = second.get();
        EXPECT_EQ(last->pointed, c.lastPointed);
        EXPECT_EQ(last->intended, c.lastPointed);
        EXPECT_EQ(hostPointed(), c.lastPointed);
    }
}

// Found on at startup: meant to be on from then on (kept as the bare word), and the caches
// flushed. Found off: the intention kept stands.
TEST_F(FilterControllerTest, TheStartupCheckAndTheIntentionKept) {
    services["Wi-Fi"] = "127.0.0.1\n";
    auto found = controller.checkAtStartup();
    EXPECT_TRUE(found->intended && found->pointed && !found->allPointed);
    EXPECT_EQ(tools.calls().back(), "/usr/bin/killall -HUP mDNSResponder");
    EXPECT_EQ(Files::readAll(dir.path() + "/etc/filter.intended"), "on");

    services["Wi-Fi"] = "";
    tools.clear();
    FilterController restarted{{systemDNS, uninstaller, dir.path() + "/etc", clock}, queue};
    EXPECT_TRUE(restarted.snapshot()->intended);
    EXPECT_FALSE(restarted.checkAtStartup()->pointed);
    EXPECT_TRUE(restarted.snapshot()->intended);
    EXPECT_EQ(tools.calls().size(), 3u) << "flushed with nothing pointed at the filter";

    // From a directory that cannot be trusted nothing is read, nor written.
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
    EXPECT_FALSE(controller.snapshot()->intended);
    EXPECT_EQ(exits.waiting(), 2u);
}

}  // namespace
}  // namespace vesk::test
