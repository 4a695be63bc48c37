#include "Utf8.hpp"

#include <unicode/uchar.h>

#include <cstdint>
#include <cstring>

namespace vesk::Utf8 {
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

bool isValid(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        // Runs of ASCII, which is nearly all of a blocklist, eight bytes at a time.
        if (i + 8 <= text.size()) {
            uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        UChar32 c;
        size_t length = decode(text, i, c);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
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

}  // namespace vesk::Utf8
