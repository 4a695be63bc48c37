#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk::DomainName {

// Lower-cases text the way every policy test does: bytes of ASCII directly, anything
// else with full Unicode lower-casing (and canonical composition, so that equal names
// compare equal).
std::string lowercased(std::string_view text);

// Trims Unicode white space and line breaks from both ends.
std::string_view trimmed(std::string_view text);

bool isValidUTF8(std::string_view text);

inline bool isASCII(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// A question name as the policy tests compare it: lower-cased, one trailing dot removed.
// Short ASCII names, which is nearly every query, are handled without allocating.
class Normalized {
public:
    explicit Normalized(std::string_view raw);
    Normalized(const Normalized&) = delete;
    Normalized& operator=(const Normalized&) = delete;

    std::string_view view() const { return {data, size}; }

private:
    static constexpr size_t inlineCapacity = 256;
    char buffer[inlineCapacity + 8];
    std::string heap;
    const char* data = buffer;
    size_t size = 0;
};

}  // namespace vesk::DomainName
