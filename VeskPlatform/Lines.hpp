#pragma once

#include <string_view>
#include <vector>

namespace vesk {

// The non-empty lines of a tool's output or a small file, split at "\n" only (a "\r" stays
// part of its line). The views point into text.
inline std::vector<std::string_view> nonEmptyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace vesk
