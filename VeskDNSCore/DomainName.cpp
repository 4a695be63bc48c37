#include "DomainName.hpp"

#include <algorithm>
#include <cstring>

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "VeskPlatform/Utf8.hpp"

namespace vesk {
namespace {

// Decodes the scalar at bytes[i] (strict: no overlong forms, surrogates or values past
// U+10FFFF); returns its length, or 0 for an invalid sequence.
size_t decode(std::string_view text, size_t i, UChar32& c) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    size_t length;
    UChar32 min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, min = 0x80, c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, min = 0x800, c = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, min = 0x10000, c = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return length;
}

bool isSpace(UChar32 c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85) return true;
    if (c < 0x80) return false;
    auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

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
    size_t start = 0;
    while (start < text.size()) {
        UChar32 c;
        size_t length = decode(text, start, c);
        if (length == 0 || !isSpace(c)) break;
        start += length;
    }
    size_t end = text.size();
    while (end > start) {
        size_t lead = end - 1;
        while (lead > start && end - lead < 4 && (static_cast<uint8_t>(text[lead]) & 0xC0) == 0x80) {
            --lead;
        }
        UChar32 c;
        size_t length = decode(text, lead, c);
        if (length != end - lead || !isSpace(c)) break;
        end = lead;
    }
    return text.substr(start, end - start);
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
