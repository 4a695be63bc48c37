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

// A link planted on the way (the log directory leading elsewhere) is not followed.
TEST(UninstallerTest, RestoresRemovesWhatIsThereThenUnloadsAndExits) {
    auto sink = CaptureSink::install();
    TempDir dir;
    HostRoot root(dir.path());
    // Everything but the application, which is already gone.
    for (const char* directory : {"/usr/local/share/vesk", "/usr/local/etc/vesk", "/usr/local/libexec", "/var",
                                  "/elsewhere", "/Library/LaunchDaemons"}) {
        fs::create_directories(root.path(directory));
    }
    fs::create_directory_symlink(root.path("/elsewhere"), root.path("/var/log"));
    for (const char* file : {"/usr/local/libexec/vesk-dnsd", "/usr/local/share/vesk/adult-domains.txt",
                             "/usr/local/etc/vesk/pin.hash", "/var/log/vesk-dnsd.log",
                             "/Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist"}) {
        std::ofstream(root.path(file)) << "x";
    }
    FakeToolRunner tools;
    tools.script([](const std::string& line) -> ToolRunner::Result {
        if (line.ends_with("-listallnetworkservices")) return {0, "header\nWi-Fi\n"};
        return {0, ""};
    });
    SystemDNS dns(tools);
    ManualQueue queue;
    int exits = 0;
    Uninstaller uninstaller(dns, tools, root, queue, [&] { ++exits; });

    uninstaller.performAndExit();
    EXPECT_EQ(tools.calls(), (std::vector<std::string>{"/usr/sbin/networksetup -listallnetworkservices",
                                                       "/usr/sbin/networksetup -setdnsservers Wi-Fi Empty",
                                                       "/usr/bin/dscacheutil -flushcache",
                                                       "/usr/bin/killall -HUP mDNSResponder"}));
    for (const auto& path : Uninstaller::removalList()) EXPECT_EQ(fs::exists(root.path(path)), path.starts_with("/var/log/")) << path;
    EXPECT_TRUE(fs::exists(root.path("/usr/local/etc")));
    EXPECT_TRUE(fs::exists(root.path("/elsewhere/vesk-dnsd.log")));
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
