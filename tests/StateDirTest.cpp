#include "VeskPlatform/StateDir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "VeskPlatform/Files.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A host root with /var/db/vesk as installed: 0755 above, 0700 the state's own.
void layOut(const std::string& root) {
    fs::create_directories(root + "/var/db/vesk");
    for (const char* dir : {"", "/var", "/var/db"}) ::chmod((root + dir).c_str(), 0755);
    ::chmod((root + "/var/db/vesk").c_str(), 0700);
}

void chmodIn(const std::string& root, const char* dir, mode_t mode) { ::chmod((root + dir).c_str(), mode); }

// /var moved into /private, and a link to where it went, as macOS ships it, or elsewhere.
void linkVar(const std::string& root, const char* target) {
    fs::create_directory(root + "/private");
    chmodIn(root, "/private", 0755);
    fs::rename(root + "/var", root + "/private/var");
    fs::create_directory_symlink(target, root + "/var");
}

TEST(StateDirTest, TrustsOnlyDirectoriesThatNobodyElseCanWrite) {
    const struct {
        const char* name;
        std::function<void(const std::string& root)> arrange;
        const char* reason;  // "" for trusted
        uid_t self = ::geteuid();
    } cases[] = {
        {"as installed", [](auto&) {}, ""},
        {"not made yet", [](auto& r) { fs::remove(r + "/var/db/vesk"); }, ""},
        {"group-writable parent", [](auto& r) { chmodIn(r, "/var/db", 0775); }, "/var/db is writable by its group"},
        {"sticky like /tmp", [](auto& r) { chmodIn(r, "/var", 01777); }, "/var is writable by everyone"},
        {"the root itself", [](auto& r) { chmodIn(r, "", 0775); }, "/ is writable by its group"},
        {"another user's", [](auto& r) { ::chown((r + "/var/db").c_str(), 501, 20); }, "/var/db belongs to uid 501"},
        {"the daemon's own user's", [](auto& r) { ::chown((r + "/var/db").c_str(), 501, 20); }, "", 501},
        {"the system's /var link", [](auto& r) { linkVar(r, "/private/var"); }, ""},
        {"its target open", [](auto& r) { linkVar(r, "private/var"), chmodIn(r, "/private/var", 0775); },
         "/private/var is writable by its group"},
        {"a top link elsewhere", [](auto& r) { linkVar(r, "private/elsewhere"); }, "/var is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Giving a directory to another user needs root.
        if (::geteuid() != 0 && std::string_view(c.name).ends_with("user's")) continue;
        TempDir root;
        layOut(root.path());
        c.arrange(root.path());
        EXPECT_EQ(StateDir::check(root.path(), root.path() + "/var/db/vesk", c.self).value_or(""), c.reason);
    }
    // Outside the host root, the walk goes on up to the file system's own.
    TempDir outside;
    chmodIn(outside.path(), "", 0770);
    EXPECT_EQ(StateDir::check(outside.path() + "/host", outside.path() + "/state", 0),
              outside.path() + " is writable by its group");
    EXPECT_EQ(StateDir::check("/", "/var/db/../vesk", 0), "/var/db/../vesk is not a plain path");
}

// Logged at most once a minute; reported at once, then hourly while it lasts.
TEST(StateDirTest, TellsOfAnUntrustedDirectoryWithoutRepeatingItself) {
    auto sink = CaptureSink::install();
    TempDir root;
    layOut(root.path());
    FakeClock clock;
    std::vector<std::string> reports;
    bool listening = false;  // nobody to tell yet: told once there is
    StateDir state({root.path(), {root.path() + "/var/db/vesk"}, clock, [&](const std::string& reason) {
                        if (listening) reports.push_back(reason);
                        return listening;
                    }});
    EXPECT_TRUE(state.trusted());
    chmodIn(root.path(), "/var/db", 0775);
    EXPECT_EQ(state.problem(), "/var/db is writable by its group");
    listening = true;
    for (auto step : {0s, 30s, 30s, 3540s, 60s}) clock.advance(step), state.problem();
    chmodIn(root.path(), "/var/db", 0755);
    EXPECT_TRUE(state.trusted());
    chmodIn(root.path(), "/var/db", 0757);  // a new one
    EXPECT_FALSE(state.trusted());
    EXPECT_EQ(reports, (std::vector<std::string>{"/var/db is writable by its group", "/var/db is writable by its group",
                                                 "/var/db is writable by everyone"}));
    Log::flush();
    EXPECT_EQ(sink->texts().size(), 5u);  // at 0, 60, 3600 and 3660 seconds, and the new one
}

// A home with a cache tree, and a directory elsewhere that the links planted in the tree
// point at: none of it may go. (A planted link is removed itself, and one on the way
// stops the walk: the browser restart's test on the simulated host shows both.)
TEST(FilesRemoveTest, RemovesATreeButNeverWhatALinkOrAClimbLeadsTo) {
    TempDir dir;
    std::string home = dir.path() + "/home", outside = dir.path() + "/system";
    fs::create_directories(home + "/Library/Caches/App/deep");
    fs::create_directories(outside + "/Caches/App");
    std::string precious = dir.write("system/Caches/App/precious", "keep");
    fs::create_symlink(outside, home + "/Library/Caches/App/deep/link");
    fs::create_symlink(precious, home + "/Library/Caches/App/file-link");
    for (const char* path : {"Library/../../system", "../system", "/Library/Caches", "", "Library/Caches/None"}) {
        EXPECT_FALSE(Files::removeBeneath(home, path)) << path;
    }
    EXPECT_TRUE(Files::removeBeneath(home, "Library/Caches/App"));
    EXPECT_FALSE(fs::exists(home + "/Library/Caches/App"));
    EXPECT_TRUE(fs::exists(home + "/Library/Caches"));
    EXPECT_TRUE(fs::exists(precious));
}

}  // namespace
}  // namespace vesk::test
