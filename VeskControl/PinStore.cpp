#include "PinStore.hpp"

#include <openssl/evp.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <locale.h>
#include <stdlib.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Text.hpp"
#include "VeskPlatform/Utf8.hpp"

namespace vesk {

namespace {

// Never locked: the start of year 1, in the exact form the lock-out file holds it.
constexpr double distantPast = -62135769600.0;

// Decimal or exponent notation, finite.
std::optional<double> secondsFrom(std::string_view text) {
    if (text.empty()) return std::nullopt;
    // Not from_chars: macOS's C++ library has it for doubles only in recent releases.
    // strtod takes more (hex, white space, a leading "+"), so only digits, point, sign and
    // exponent go through, and in the "C" locale whatever the process's is.
    if (text.front() == '+' || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos) {
        return std::nullopt;
    }
    static const locale_t plain = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(text);
    char* stop = nullptr;
    errno = 0;
    double value = strtod_l(copy.c_str(), &stop, plain);
    if (errno != 0 || stop != copy.c_str() + copy.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

// The shortest digits that read back as the seconds, with an exponent only when it is
// below -4 or above 15, and always with a fraction or an exponent.
std::string secondsText(double seconds) {
    std::string text = fmt::format("{}", seconds);
    if (text.find_first_of(".ein") == std::string::npos) text += ".0";
    return text;
}

// Lock times come from a file, so an absurdly distant one must still convert: it is
// honoured, and only the count of seconds reported is capped (at 2^53, exact as both).
int64_t wholeSeconds(double seconds) {
    constexpr double limit = 9007199254740992.0;
    if (std::isnan(seconds)) return 0;
    return static_cast<int64_t>(std::clamp(seconds, -limit, limit));
}

double secondsSince1970(Clock::Wall::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

}  // namespace

PinStore::PinStore(std::string path, int64_t maxAttempts, double lockoutSeconds, Clock& clock)
    : hashPath(std::move(path)),
      lockPath(hashPath + ".lock"),
      attemptLimit(maxAttempts),
      lockoutDuration(lockoutSeconds),
      wallClock(clock) {}

bool PinStore::isSet() const { return loadHash().has_value(); }

PinStore::VerifyResult PinStore::verify(const std::string& pin) {
    std::lock_guard hold(filesMutex);
    auto stored = loadHash();
    if (!stored) return VerifyResult::notSet();
    double now = secondsSince1970(wallClock.wallNow());
    Lock lock = loadLock();
    if (now < lock.until) return VerifyResult::lockedOut(wholeSeconds(std::ceil(lock.until - now)));
    if (constantTimeEquals(hash(pin), *stored)) {
        saveLock(0, distantPast);
        return VerifyResult::ok();
    }
    constexpr int64_t most = std::numeric_limits<int64_t>::max();
    int64_t failures = lock.failures == most ? most : lock.failures + 1;
    if (failures < attemptLimit) {
        saveLock(failures, distantPast);
        // A tampered, far negative count must not overflow; the true difference is positive
        // and below 2^64, so unsigned arithmetic holds it exactly.
        uint64_t left = static_cast<uint64_t>(attemptLimit) - static_cast<uint64_t>(failures);
        return VerifyResult::wrong(static_cast<int64_t>(std::min(left, static_cast<uint64_t>(most))));
    }
    saveLock(0, now + lockoutDuration);
    return VerifyResult::lockedOut(wholeSeconds(std::trunc(lockoutDuration)));
}

bool PinStore::setPin(const std::string& pin, const std::optional<std::string>& current) {
    if (!isValidPin(pin)) return false;
    std::lock_guard hold(filesMutex);
    if (auto stored = loadHash()) {
        if (!current || !constantTimeEquals(hash(*current), *stored)) return false;
    }
    return saveHash(hash(pin));
}

std::string PinStore::hash(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0F];
    }
    return out;
}

bool PinStore::constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

bool PinStore::isValidPin(const std::string& pin) {
    if (!Utf8::isValid(pin)) return false;
    auto text = icu::UnicodeString::fromUTF8(pin);
    // Every code point, so a digit with a combining mark on it is not a numeric character.
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        if (u_getIntPropertyValue(text.char32At(i), UCHAR_NUMERIC_TYPE) == U_NT_NONE) return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !characters) return false;
    characters->setText(text);
    int count = 0;
    for (characters->first(); characters->next() != icu::BreakIterator::DONE;) ++count;
    return count >= 4 && count <= 8;
}

std::optional<std::string> PinStore::loadHash() const { return Files::readText(hashPath); }

bool PinStore::saveHash(const std::string& digest) const {
    Files::createParentDirectories(hashPath);  // when that fails, so does the write
    return Files::writeAtomically(hashPath, digest).empty();
}

PinStore::Lock PinStore::loadLock() const {
    const Lock unlocked{0, distantPast};
    auto text = Files::readText(lockPath);
    if (!text) return unlocked;
    auto fields = split(*text, ":", EmptyPieces::drop);
    if (fields.size() != 2) return unlocked;
    auto failures = parseDecimal(fields[0]);
    auto until = secondsFrom(fields[1]);
    if (!failures || !until) return unlocked;
    return {*failures, *until};
}

bool PinStore::saveLock(int64_t failures, double until) const {
    Files::createParentDirectories(lockPath);
    return Files::writeAtomically(lockPath, std::to_string(failures) + ":" + secondsText(until)).empty();
}

}  // namespace vesk
