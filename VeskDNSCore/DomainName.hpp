#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk {

// A domain name as every policy compares it: lower-case, labels joined by ".", one
// trailing dot removed. It is normalised once, when made, and read as it is afterwards.
class DomainName {
public:
    // Any text: ASCII letters are lower-cased directly, anything else with full Unicode
    // lower-casing and canonical composition, so that equal names compare equal.
    explicit DomainName(std::string_view text);
    // Text already known to be ASCII (the question of a query): lower-cased in place.
    static DomainName fromASCII(std::string text);

    const std::string& text() const { return value; }
    std::string_view view() const { return value; }
    bool empty() const { return value.empty(); }
    bool operator==(std::string_view other) const { return value == other; }

    // Whether this is `suffix` itself or a name under it ("a.b.c" is under "b.c", not
    // under "c" nor "bb.c" nor ".c").
    bool isAtOrUnder(std::string_view suffix) const;
    std::string_view firstLabel() const { return view().substr(0, value.find('.')); }

    // The text helpers the names are made with, for the blocklist's loader.
    static std::string lowercased(std::string_view text);
    // Lower-cases ASCII letters in place, eight bytes at a time; other bytes stay.
    static void lowerASCII(std::string& text);
    // Trims Unicode white space and line breaks from both ends.
    static std::string_view trimmed(std::string_view text);
    static bool isValidUTF8(std::string_view text);
    static bool isASCII(std::string_view text);

private:
    DomainName() = default;
    void dropTrailingDot();

    std::string value;
};

}  // namespace vesk
