#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vesk {

// The items in order, separator between each two.
inline std::string joinWith(const std::vector<std::string>& items, std::string_view separator) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

// The pieces of text between separators (any one of the characters given), in order; the
// views point into text. Empty pieces are kept ("a\t" is "a" and "") unless dropped.
enum class EmptyPieces { keep, drop };
inline std::vector<std::string_view> split(std::string_view text, std::string_view separators,
                                           EmptyPieces empty = EmptyPieces::keep) {
    std::vector<std::string_view> pieces;
    for (size_t start = 0;;) {
        size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start || empty == EmptyPieces::keep) pieces.push_back(text.substr(start, end - start));
        if (end == text.size()) return pieces;
        start = end + 1;
    }
}

// The non-empty lines of a tool's output or a small file, split at "\n" only (a "\r" stays
// part of its line).
inline std::vector<std::string_view> nonEmptyLines(std::string_view text) {
    return split(text, "\n", EmptyPieces::drop);
}

// A base-10 integer with one optional sign ("+" or "-"), within 64 bits; none for anything
// else ("+-5", "5 ", "").
inline std::optional<int64_t> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

}  // namespace vesk
