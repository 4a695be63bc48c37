#include "VeskHost/Uninstaller.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(UninstallerTest, RestoresRemovesWhatIsThereThenUnloadsAndExits) {
    auto sink = CaptureSink::install();
    TempDir dir;
    HostRoot root(dir.path());
    // Everything but the application, which is already gone.
    for (const char* directory : {"/usr/local/share/vesk", "/usr/local/etc/vesk", "/usr/local/libexec",
                                  "/var/log", "/Library/LaunchDaemons"}) {
        fs::create_directories(root.path(directory));
    }
    for (const char* file : {"/usr/local/libexec/vesk-dnsd", "/usr/local/share/vesk/adult-domains.txt",
                             "/usr/local/etc/vesk/pin.hash", "/var/log/vesk-dnsd.log",
                             "/Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist"}) {
        std::ofstream(root.path(file)) << "x";
    }
    FakeToolRunner tools;
    tools.script([](const std::string& line) -> ToolRunner::Result {
        if (line.ends_with("-listnetworkserviceorder")) return {0, "header\n(1) Wi-Fi\n"};
        return {0, ""};
    });
    SystemDNS dns(tools);
    ManualQueue queue;
    int exits = 0;
    Uninstaller uninstaller(dns, tools, root, queue, [&] { ++exits; });

    uninstaller.performAndExit();
    EXPECT_EQ(tools.calls(), (std::vector<std::string>{"/usr/sbin/networksetup -listnetworkserviceorder",
                                                       "/usr/sbin/networksetup -setdnsservers Wi-Fi Empty",
                                                       "/usr/bin/dscacheutil -flushcache",
                                                       "/usr/bin/killall -HUP mDNSResponder"}));
    for (const auto& path : Uninstaller::removalList()) EXPECT_FALSE(fs::exists(root.path(path))) << path;
    EXPECT_TRUE(fs::exists(root.path("/usr/local/etc")));
    Log::flush();
    EXPECT_THAT(sink->texts(), ::testing::ElementsAre("uninstall: DNS restored, files removed; unloading daemon"));

    queue.advance(599ms);
    EXPECT_EQ(exits, 0);
    queue.advance(1ms);
    EXPECT_EQ(tools.calls().back(), "/bin/launchctl bootout system/app.quorran.tarnik.dnsd");
    EXPECT_EQ(exits, 1);
}

}  // namespace
}  // namespace vesk::test
