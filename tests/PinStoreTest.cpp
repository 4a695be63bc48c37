#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <filesystem>
#include <numeric>
#include <thread>
#include <vector>

#include "VeskControl/PinStore.hpp"
#include "VeskPlatform/Files.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {

void PrintTo(const PinStore::VerifyResult& result, std::ostream* out) {
    static const char* const names[] = {"wrong", "lockedOut", "ok", "notSet"};
    *out << names[static_cast<int>(result.kind)] << "(remaining " << result.remaining << ", seconds "
         << result.seconds << ")";
}

namespace test {
namespace {

using Result = PinStore::VerifyResult;
using namespace std::chrono_literals;

const std::string pin = "2468";
// Never locked; FakeClock's wall time starts at 1766019600 seconds since 1970.
const std::string unlocked = "0:-62135769600.0";

// A store in a directory that does not exist yet, on a clock that moves only when told.
struct Store {
    TempDir dir;
    FakeClock clock;
    std::string path = dir.path() + "/etc/vesk/pin.hash";
    PinStore store;

    explicit Store(int64_t attempts = 5, double lockout = 300, bool withPin = true)
        : store(path, attempts, lockout, clock) {
        if (withPin) {
            EXPECT_TRUE(store.setPin(pin, std::nullopt));
        }
    }
    std::string lockFile() const { return Files::readAll(path + ".lock").value_or("<none>"); }
    void writeLockFile(const std::string& text) const {
        EXPECT_EQ(Files::writeAtomically(path + ".lock", text), "");
    }
};

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFF;
}

TEST(PinStoreTest, APinIsFourToEightNumericCharactersOfAnyScript) {
    const struct {
        const char* pin;
        bool valid;
    } cases[] = {
        {"1234", true}, {"12345678", true}, {"123", false}, {"123456789", false}, {" 1234", false},
        {"123a", false}, {"", false}, {"-1234", false}, {"๑๒๓๔", true}, {"１２３４", true}, {"½123", true},
        {"1\u0301234", false},  // four characters, but one carries an accent
        {"12\xff" "34", false},
    };
    for (const auto& c : cases) EXPECT_EQ(PinStore::isValidPin(c.pin), c.valid) << c.pin;
}

TEST(PinStoreTest, LocksOutAfterTheLastAttemptForTheWholePeriod) {
    Store s;
    for (int64_t left : {4, 3, 2, 1}) EXPECT_EQ(s.store.verify("0000"), Result::wrong(left));
    EXPECT_EQ(s.lockFile(), "4:-62135769600.0");
    EXPECT_EQ(s.store.verify("0000"), Result::lockedOut(300));
    EXPECT_EQ(s.lockFile(), "0:1766019900.0");

    s.clock.advance(1s);
    EXPECT_EQ(s.store.verify(pin), Result::lockedOut(299));
    s.clock.advance(298500ms);
    EXPECT_EQ(s.store.verify("0000"), Result::lockedOut(1));  // half a second still counts as one
    EXPECT_EQ(s.lockFile(), "0:1766019900.0");
    s.clock.advance(500ms);
    EXPECT_EQ(s.store.verify(pin), Result::ok());
    EXPECT_EQ(s.lockFile(), unlocked);
    EXPECT_EQ(s.store.verify("0000"), Result::wrong(4));
}

TEST(PinStoreTest, FilesAndTheDirectoriesMadeForThemArePrivate) {
    Store s;
    s.store.verify("0000");
    EXPECT_EQ(modeOf(s.path), 0600u);
    EXPECT_EQ(modeOf(s.path + ".lock"), 0600u);
    EXPECT_EQ(modeOf(s.dir.path() + "/etc"), 0700u);
    EXPECT_EQ(modeOf(s.dir.path() + "/etc/vesk"), 0700u);

    // A restrictive umask must not leave new directories unusable, nor change existing ones.
    std::filesystem::create_directory(s.dir.path() + "/shared");
    ::chmod((s.dir.path() + "/shared").c_str(), 0755);
    mode_t before = ::umask(0777);
    bool created = Files::createParentDirectories(s.dir.path() + "/shared/new/deeper/pin.hash");
    ::umask(before);
    EXPECT_TRUE(created);
    EXPECT_EQ(modeOf(s.dir.path() + "/shared"), 0755u);
    EXPECT_EQ(modeOf(s.dir.path() + "/shared/new"), 0700u);
    EXPECT_EQ(modeOf(s.dir.path() + "/shared/new/deeper"), 0700u);
    EXPECT_FALSE(Files::createParentDirectories(s.path + "/below-a-file"));
}

TEST(PinStoreTest, AnUnreadableLockFileMeansNoFailuresYet) {
    const struct {
        const char* content;
        Result result;      // of a wrong PIN
        const char* after;  // the file then; null when left as it was
    } cases[] = {
        {"2:-62135769600.0", Result::wrong(2), "3:-62135769600.0"},
        {" +2::-62135769600.0:\n", Result::wrong(2), "3:-62135769600.0"},
        {"2:1766019600", Result::wrong(2), "3:-62135769600.0"},  // ends exactly now
        {"2:1766019600.001", Result::lockedOut(1), nullptr},
        {"2:1e300", Result::lockedOut(9007199254740992), nullptr},  // honoured, reported capped
        {"-3:1", Result::wrong(7), "-2:-62135769600.0"},
        {"9223372036854775807:1", Result::lockedOut(300), "0:1766019900.0"},
        {"-9223372036854775808:1", Result::wrong(std::numeric_limits<int64_t>::max()),
         "-9223372036854775807:-62135769600.0"},
    };
    auto check = [](const char* content, Result result, const char* after) {
        SCOPED_TRACE(content);
        Store s;
        s.writeLockFile(content);
        EXPECT_EQ(s.store.verify("0000"), result);
        EXPECT_EQ(s.lockFile(), after ? after : content);
    };
    for (const auto& c : cases) check(c.content, c.result, c.after);
    for (const char* unreadable : {"3:", "x:1.0", "1:2:3", "1:nan", "1:1e999",
                                   "1:0x7p40", "1: 1e10", "1:+1e10", "+-1:1.0", "9223372036854775808:1.0"}) {
        check(unreadable, Result::wrong(4), "1:-62135769600.0");
    }
}

TEST(PinStoreTest, LockTimesAreWrittenSoTheyReadBack) {
    const struct {
        double lockout;
        const char* file;
        int64_t reported;
    } cases[] = {
        {0.25, "0:1766019600.25", 0},
        {1e21, "0:1.000000000001766e+21", 9007199254740992},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Store s(1, c.lockout);
        EXPECT_EQ(s.store.verify("0000"), Result::lockedOut(c.reported));
        EXPECT_EQ(s.lockFile(), c.file);
        EXPECT_EQ(s.store.verify(pin), Result::lockedOut(std::max<int64_t>(c.reported, 1)));
    }
}

TEST(PinStoreTest, TheHashFileIsTrimmedButComparedExactly) {
    std::string upper = PinStore::hash(pin);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct {
        std::string content;
        Result result;
    } cases[] = {
        {PinStore::hash(pin) + "\n", Result::ok()},
        {" \t" + PinStore::hash(pin) + "\r\n\u2028", Result::ok()},
        {upper, Result::wrong(4)},
        {" \n", Result::notSet()},
        {"\xff" + PinStore::hash(pin), Result::notSet()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        Store s(5, 300, false);
        EXPECT_TRUE(Files::createParentDirectories(s.path));
        EXPECT_EQ(Files::writeAtomically(s.path, c.content), "");
        EXPECT_EQ(s.store.isSet(), c.result != Result::notSet());
        EXPECT_EQ(s.store.verify(pin), c.result);
    }
}

TEST(PinStoreTest, ChangingThePinNeedsTheCurrentOneAndLeavesTheCountAlone) {
    Store s(5, 300, false);
    EXPECT_EQ(s.store.verify(pin), Result::notSet());
    EXPECT_EQ(s.lockFile(), "<none>");
    EXPECT_FALSE(s.store.setPin("123", std::nullopt));  // not a PIN
    EXPECT_TRUE(s.store.setPin(pin, "ignored while none is set"));

    EXPECT_EQ(s.store.verify("0000"), Result::wrong(4));
    EXPECT_FALSE(s.store.setPin("1357", std::nullopt));
    EXPECT_FALSE(s.store.setPin("1357", "0000"));
    EXPECT_EQ(s.lockFile(), "1:-62135769600.0");
    EXPECT_TRUE(s.store.setPin("1357", pin));
    EXPECT_EQ(s.lockFile(), "1:-62135769600.0");
    EXPECT_EQ(s.store.verify(pin), Result::wrong(3));
    EXPECT_EQ(s.store.verify("1357"), Result::ok());
}

TEST(PinStoreTest, ConcurrentFailuresAreEachCountedOnce) {
    constexpr int64_t threads = 8, perThread = 50, limit = 1'000'000;
    Store s(limit);
    std::vector<std::vector<int64_t>> left(threads);
    std::vector<std::thread> workers;
    for (auto& mine : left) {
        workers.emplace_back([&s, &mine] {
            for (int64_t i = 0; i < perThread; ++i) mine.push_back(s.store.verify("0000").remaining);
        });
    }
    for (auto& worker : workers) worker.join();
    std::vector<int64_t> all, expected(threads * perThread);
    for (const auto& mine : left) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    std::iota(expected.begin(), expected.end(), limit - threads * perThread);
    EXPECT_EQ(all, expected);
    EXPECT_EQ(s.lockFile(), "400:-62135769600.0");
}

TEST(PinStoreTest, HashesAndComparesBytes) {
    // The digest file's format: stored PINs must still match.
    EXPECT_EQ(PinStore::hash("1234"), "03ac674216f3e15c761ee1a5e255f067953623c8b388b4459e13f978d7c846f4");
    const struct {
        std::string_view a, b;
        bool equal;
    } cases[] = {
        {"", "", true}, {"abc", "abc", true}, {"abc", "abd", false}, {"xbc", "abc", false},
        {"", "a", false}, {{"a\0b", 3}, {"a\0c", 3}, false}, {"a", {"a\0", 2}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PinStore::constantTimeEquals(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(PinStore::constantTimeEquals(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

}  // namespace
}  // namespace test
}  // namespace vesk
