#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "VeskControl/PinStore.hpp"
#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/StateDir.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {

void PrintTo(const PinStore::VerifyResult& r, std::ostream* out) {
    *out << "kind " << static_cast<int>(r.kind) << ", remaining " << r.remaining << ", seconds " << r.seconds;
}

namespace test {
namespace {

using Result = PinStore::VerifyResult;
using namespace std::chrono_literals;

const std::string pin = "2468";
// Never locked; FakeClock's wall time starts at 1766019600 seconds since 1970.
const std::string unlocked = "0:-62135769600.0";

// A store with the PIN set, in directories it made, on a clock that moves only when told.
struct Store {
    TempDir dir;
    FakeClock clock;
    std::string path = dir.path() + "/etc/vesk/pin.hash";
    PinStore store;

    explicit Store(int64_t attempts = 5) : store(path, attempts, 300, clock) {
        EXPECT_TRUE(store.setPin(pin, std::nullopt));
    }
    std::string lockFile() const { return Files::readAll(path + ".lock").value_or("<none>"); }
};

TEST(PinStoreTest, APinIsFourToEightNumericCharactersOfAnyScript) {
    for (const char* valid : {"1234", "12345678", "๑๒๓๔", "１２３４", "½123"}) EXPECT_TRUE(PinStore::isValidPin(valid)) << valid;
    // The last has four characters, but one carries an accent.
    for (const char* invalid : {"123", "123456789", " 1234", "123a", "", "-1234", "12\xff" "34", "1\u0301234"}) {
        EXPECT_FALSE(PinStore::isValidPin(invalid)) << invalid;
    }
}

// The count is kept in a file that, like the directories made for it, is private.
TEST(PinStoreTest, LocksOutForTheWholePeriodAndAChangeNeedsTheCurrentPin) {
    Store s;
    for (int64_t left : {4, 3, 2, 1}) EXPECT_EQ(s.store.verify("0000"), Result::wrong(left));
    for (auto [path, mode] : std::vector<std::pair<std::string, unsigned>>{
             {"/etc", 0700}, {"/etc/vesk", 0700}, {"/etc/vesk/pin.hash", 0600}, {"/etc/vesk/pin.hash.lock", 0600}}) {
        struct stat info {};
        EXPECT_EQ(::stat((s.dir.path() + path).c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFF, mode) << path;
    }
    EXPECT_EQ(s.store.verify("0000"), Result::lockedOut(300));
    EXPECT_EQ(s.lockFile(), "0:1766019900.0");

    s.clock.advance(299500ms);
    EXPECT_EQ(s.store.verify(pin), Result::lockedOut(1));  // the PIN too; half a second still counts as one
    s.clock.advance(500ms);
    EXPECT_EQ(s.store.verify(pin), Result::ok());
    EXPECT_EQ(s.lockFile(), unlocked);
    EXPECT_EQ(s.store.verify("0000"), Result::wrong(4));
    // A change needs the current PIN, and leaves the count as it was.
    EXPECT_FALSE(s.store.setPin("1357", std::nullopt) || s.store.setPin("1357", "0000") || s.store.setPin("123", pin));
    EXPECT_TRUE(s.store.setPin("1357", pin));
    EXPECT_EQ(s.store.verify(pin), Result::wrong(3));
}

// A wrong PIN against each lock file, and the file then (null: left as it was).
TEST(PinStoreTest, AnUnreadableLockFileMeansNoFailuresYet) {
    auto check = [](const char* content, Result result, const char* after) {
        SCOPED_TRACE(content);
        Store s;
        EXPECT_EQ(Files::writeAtomically(s.path + ".lock", content), "");
        EXPECT_EQ(s.store.verify("0000"), result);
        EXPECT_EQ(s.lockFile(), after ? after : content);
    };
    check("2:-62135769600.0", Result::wrong(2), "3:-62135769600.0");
    check(" +2::-62135769600.0:\n", Result::wrong(2), "3:-62135769600.0");
    check("2:1766019600", Result::wrong(2), "3:-62135769600.0");  // ends exactly now
    check("2:1766019600.001", Result::lockedOut(1), nullptr);
    check("2:1e300", Result::lockedOut(9007199254740992), nullptr);  // honoured, reported capped
    check("-3:1", Result::wrong(7), "-2:-62135769600.0");
    check("9223372036854775807:1", Result::lockedOut(300), "0:1766019900.0");
    check("-9223372036854775808:1", Result::wrong(std::numeric_limits<int64_t>::max()),
          "-9223372036854775807:-62135769600.0");
    for (const char* unreadable : {"3:", "x:1.0", "1:2:3", "1:nan", "1:1e999", "1:0x7p40", "1: 1e10", "1:+1e10",
                                   "+-1:1.0", "9223372036854775808:1.0"}) {
        check(unreadable, Result::wrong(4), "1:-62135769600.0");
    }
}

TEST(PinStoreTest, TheHashFileIsTrimmedButComparedExactly) {
    // The digest of 1234 in the file's format: stored PINs must still match.
    const std::string digest = "03ac674216f3e15c761ee1a5e255f067953623c8b388b4459e13f978d7c846f4";
    for (const auto& [content, result] : std::vector<std::pair<std::string, Result>>{
             {digest + "\n", Result::ok()}, {" \t" + digest + "\r\n\u2028", Result::ok()},
             {"03AC674216F3E15C761EE1A5E255F067953623C8B388B4459E13F978D7C846F4", Result::wrong(4)},
             {digest + "0", Result::wrong(4)}, {" \n", Result::notSet()}, {"\xff" + digest, Result::notSet()}}) {
        SCOPED_TRACE(content);
        Store s;
        EXPECT_EQ(Files::writeAtomically(s.path, content), "");
        EXPECT_EQ(s.store.isSet(), result != Result::notSet());
        EXPECT_EQ(s.store.verify("1234"), result);
    }
}

TEST(PinStoreTest, ConcurrentFailuresAreEachCountedOnce) {
    Store s(1'000'000);
    std::vector<std::thread> workers;
    for (int thread = 0; thread < 8; ++thread) {
        workers.emplace_back([&s] {
            for (int i = 0; i < 50; ++i) s.store.verify("0000");
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(s.lockFile(), "400:-62135769600.0");
}

// The state directory the PIN store and the token live in, and what may be removed from
// a home.
namespace fs = std::filesystem;

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

// A home with a cache tree, and a directory elsewhere that the links planted in the home
// point at: none of it may go. (A planted link is removed itself: the browser restart's
// test on the simulated host shows it.)
TEST(FilesRemoveTest, RemovesATreeButNeverWhatALinkOrAClimbLeadsTo) {
    TempDir dir;
    std::string home = dir.path() + "/home", outside = dir.path() + "/system";
    fs::create_directories(home + "/Library/Caches/App/deep");
    fs::create_directories(outside + "/Caches/App");
    std::string precious = dir.write("system/Caches/App/precious", "keep");
    fs::create_symlink(outside, home + "/Library/Caches/App/deep/link");
    fs::create_symlink(precious, home + "/Library/Caches/App/file-link");
    fs::create_symlink(outside, home + "/Up");
    for (const char* path : {"Library/../../system", "Up/Caches/App", "/Library/Caches", "", "Library/Caches/None"}) {
        EXPECT_FALSE(Files::removeBeneath(home, path)) << path;
    }
    EXPECT_TRUE(Files::removeBeneath(home, "Library/Caches/App"));
    EXPECT_FALSE(fs::exists(home + "/Library/Caches/App"));
    EXPECT_TRUE(fs::exists(home + "/Library/Caches"));
    EXPECT_TRUE(fs::exists(precious));
}

}  // namespace
}  // namespace test
}  // namespace vesk
