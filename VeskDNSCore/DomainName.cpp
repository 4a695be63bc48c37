#include "DomainName.hpp"

#include <algorithm>
#include <cstring>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "VeskPlatform/Utf8.hpp"

namespace vesk {

std::string DomainName::lowercased(std::string_view text) {
    if (isASCII(text)) {
        std::string out(text);
        lowerASCII(out);
        return out;
    }
    icu::UnicodeString wide = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    wide.toLower(icu::Locale::getRoot());
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_SUCCESS(status)) {
        icu::UnicodeString composed = nfc->normalize(wide, status);
        if (U_SUCCESS(status)) wide = composed;
    }
    std::string out;
    wide.toUTF8String(out);
    return out;
}

std::string_view DomainName::trimmed(std::string_view text) {
    // ASCII blanks go fast; only a non-ASCII byte at either end needs the Unicode-aware trim.
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (!text.empty() && (static_cast<unsigned char>(text.front()) >= 0x80 ||
                          static_cast<unsigned char>(text.back()) >= 0x80)) {
        text = Utf8::trimmed(text);
    }
    return text;
}

bool DomainName::isValidUTF8(std::string_view text) { return Utf8::isValid(text); }

bool DomainName::isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

void DomainName::lowerASCII(std::string& text) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highBits = 0x8080808080808080ULL;
    auto lowerWord = [](uint64_t word) {
        // A byte gets 0x20 when it is at least 'A' and at most 'Z' and below 0x80.
        uint64_t atLeastA = word + ones * (0x80 - 'A');
        uint64_t aboveZ = word + ones * (0x7F - 'Z');
        return word | (((atLeastA & ~aboveZ & ~word) & highBits) >> 2);
    };
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & highBits) break;  // carries past a high byte would garble its neighbours
        word = lowerWord(word);
        std::memcpy(text.data() + i, &word, 8);
    }
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') text[i] = static_cast<char>(c + ('a' - 'A'));
    }
}

DomainName::DomainName(std::string_view text) : value(lowercased(text)) { dropTrailingDot(); }

DomainName DomainName::fromASCII(std::string text) {
    DomainName name;
    name.value = std::move(text);
    lowerASCII(name.value);
    name.dropTrailingDot();
    return name;
}

void DomainName::dropTrailingDot() {
    if (!value.empty() && value.back() == '.') value.pop_back();
}

bool DomainName::isAtOrUnder(std::string_view suffix) const {
    std::string_view name = view();
    if (!name.ends_with(suffix)) return false;
    if (name.size() == suffix.size()) return !suffix.empty();
    return !suffix.empty() && name[name.size() - suffix.size() - 1] == '.';
}

}  // namespace vesk
