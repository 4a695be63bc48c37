#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "VeskPlatform/Clock.hpp"

namespace vesk {

// The PIN that guards the control API's protective actions. Only its SHA-256 digest is
// kept, in a file; consecutive failed checks are counted in a second file beside it
// (path + ".lock"), and once too many have failed every check is refused for a fixed time.
// All state is in the two files, read afresh on every call, so other components may
// delete them at any moment. Safe to call from any thread.
class PinStore {
public:
    struct VerifyResult {
        enum class Kind { wrong, lockedOut, ok, notSet };
        Kind kind;
        int64_t remaining = 0;  // wrong: checks left before the lock-out (always >= 1)
        int64_t seconds = 0;    // lockedOut: whole seconds until checks are accepted again

        static VerifyResult wrong(int64_t checksLeft) { return {Kind::wrong, checksLeft, 0}; }
        static VerifyResult lockedOut(int64_t wait) { return {Kind::lockedOut, 0, wait}; }
        static VerifyResult ok() { return {Kind::ok, 0, 0}; }
        static VerifyResult notSet() { return {Kind::notSet, 0, 0}; }
        bool operator==(const VerifyResult&) const = default;
    };

    // The daemon's: "/var/db/vesk/pin.hash", 5 attempts, 300 seconds.
    PinStore(std::string path, int64_t maxAttempts, double lockoutSeconds, Clock& clock = Clock::system());

    // Whether a PIN is stored. Takes no lock: it only reads the digest file, which is
    // always replaced whole.
    bool isSet() const;
    // Checks pin against the stored digest, counting a failure or clearing the count.
    VerifyResult verify(const std::string& pin);
    // Stores pin's digest. Once a PIN is stored, current must match it. The lock-out is
    // neither consulted nor changed. False when pin is not valid, current does not match,
    // or the file could not be written.
    bool setPin(const std::string& pin, const std::optional<std::string>& current);

    // SHA-256 of the bytes as given, as 64 lower-case hex digits.
    static std::string hash(std::string_view text);
    // Takes as long for every pair of texts of one length, wherever they differ.
    static bool constantTimeEquals(std::string_view a, std::string_view b);
    // 4 to 8 user-perceived characters, each made only of numeric code points (any script).
    static bool isValidPin(const std::string& pin);

private:
    struct Lock {
        int64_t failures;
        double until;  // seconds since 1970; checks are refused before it
    };

    std::optional<std::string> loadHash() const;
    bool saveHash(const std::string& digest) const;
    Lock loadLock() const;
    bool saveLock(int64_t failures, double until) const;

    const std::string hashPath;
    const std::string lockPath;
    const int64_t attemptLimit;
    const double lockoutDuration;
    Clock& wallClock;
    std::mutex filesMutex;  // guards the two files: verify and setPin read, then rewrite them
};

}  // namespace vesk
