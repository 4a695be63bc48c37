#include "Utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vesk::Utf8 {

bool isValid(std::string_view text) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
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
        unsigned char lead = at(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead < 0xC2 || lead > 0xF4) return false;
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        // The second byte's range rules out overlong forms, surrogates and values past U+10FFFF.
        int low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        int high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        if (text.size() - i < length || at(i + 1) < low || at(i + 1) > high) return false;
        for (size_t k = 2; k < length; ++k) {
            if ((at(i + k) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace vesk::Utf8
