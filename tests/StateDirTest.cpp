#include "VeskPlatform/StateDir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A host root with /var/db/vesk as installed (0755 above, 0700 the state's own).
void layOut(const std::string& root) {
    fs::create_directories(root + "/var/db/vesk");
    for (const char* dir : {"", "/var", "/var/db"}) ::chmod((root + dir).c_str(), 0755);
    ::chmod((root + "/var/db/vesk").c_str(), 0700);
}

TEST(StateDirTest, TrustsOnlyDirectoriesThatNobodyElseCanWrite) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> arrange;
        const char* reason;  // "" for trusted
        uid_t self = ::geteuid();
        bool needsRoot = false;
    };
    auto mode = [](const char* dir, mode_t bits) { return [=](const std::string& r) { ::chmod((r + dir).c_str(), bits); }; };
    auto movedUnder = [](const char* dir, const char* target) {
        return [=](const std::string& r) {
            fs::create_directories(r + "/private");
            ::chmod((r + "/private").c_str(), 0755);
            fs::rename(r + dir, r + "/private" + dir);
            fs::create_directory_symlink(target, r + dir);
        };
    };
    const Case cases[] = {
        {"as installed", [](const std::string&) {}, ""},
        {"not made yet", [](const std::string& r) { fs::remove(r + "/var/db/vesk"); }, ""},
        {"group-writable parent", mode("/var/db", 0775), "/var/db is writable by its group"},
        {"world-writable parent", mode("/var/db", 0757), "/var/db is writable by everyone"},
        {"sticky like /tmp", mode("/var", 01777), "/var is writable by everyone"},
        {"the root itself", mode("", 0775), "/ is writable by its group"},
        {"another user's", [](const std::string& r) { ::chown((r + "/var/db").c_str(), 501, 20); },
         "/var/db belongs to uid 501", ::geteuid(), true},
        {"the daemon's own user's", [](const std::string& r) { ::chown((r + "/var/db").c_str(), 501, 20); }, "", 501, true},
        {"a link on the way", [](const std::string& r) {
             fs::rename(r + "/var/db", r + "/db");
             fs::create_directory_symlink(r + "/db", r + "/var/db");
         }, "/var/db is a symbolic link"},
        {"the system's /var link", movedUnder("/var", "/private/var"), ""},
        {"the link's target open", [&](const std::string& r) {
             movedUnder("/var", "private/var")(r);
             ::chmod((r + "/private/var").c_str(), 0775);
         }, "/private/var is writable by its group"},
        {"a top link elsewhere", movedUnder("/var", "private/elsewhere"), "/var is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) continue;  // chown needs root
        TempDir root;
        layOut(root.path());
        c.arrange(root.path());
        EXPECT_EQ(StateDir::check(root.path(), root.path() + "/var/db/vesk", c.self).value_or(""), c.reason);
    }
    // Outside the host root, the walk goes on up to the file system's own root.
    TempDir outside;
    ::chmod(outside.path().c_str(), 0770);
    EXPECT_EQ(StateDir::check(outside.path() + "/host", outside.path() + "/state", 0),
              outside.path() + " is writable by its group");
    EXPECT_EQ(StateDir::check("/", "/var/db/../vesk", 0), "/var/db/../vesk is not a plain path");
}

// Logged at most once a minute, reported at once and then hourly while it lasts.
TEST(StateDirTest, TellsOfAnUntrustedDirectoryWithoutRepeatingItself) {
    auto sink = CaptureSink::install();
    TempDir root;
    layOut(root.path());
    FakeClock clock;
    std::vector<std::string> reports;
    bool listening = false;  // the reporter is not there yet
    StateDir state({root.path(), {root.path() + "/var/db/vesk"}, clock, [&](const std::string& reason) {
                        if (listening) reports.push_back(reason);
                        return listening;
                    }});
    EXPECT_TRUE(state.trusted());
    ::chmod((root.path() + "/var/db").c_str(), 0775);
    EXPECT_EQ(state.problem(), "/var/db is writable by its group");
    listening = true;
    for (auto step : {0s, 30s, 30s, 3540s, 60s}) {
        clock.advance(step);
        EXPECT_FALSE(state.trusted());
    }
    ::chmod((root.path() + "/var/db").c_str(), 0755);
    EXPECT_TRUE(state.trusted());
    ::chmod((root.path() + "/var/db").c_str(), 0757);
    EXPECT_FALSE(state.trusted());
    EXPECT_EQ(reports, (std::vector<std::string>{"/var/db is writable by its group", "/var/db is writable by its group",
                                                 "/var/db is writable by everyone"}));
    Log::flush();
    const std::string line = "insecure state directory: /var/db is writable by its group — PIN, pairing and turning filtering off refused";
    EXPECT_EQ(sink->texts(), (std::vector<std::string>{line, line, line, line, "insecure state directory: /var/db is writable by everyone — PIN, pairing and turning filtering off refused"}));
}

}  // namespace
}  // namespace vesk::test
