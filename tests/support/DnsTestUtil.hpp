#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace vesk::test {

// A standard query (RD set) for name, optionally with an EDNS OPT record as most stubs
// send it.
inline std::vector<uint8_t> query(uint16_t id, std::string_view name, uint16_t type = 1,
                                  bool withOpt = false) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00,
                                0, 1, 0, 0, 0, 0, 0, static_cast<uint8_t>(withOpt ? 1 : 0)};
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                   name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    out.insert(out.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1});
    if (withOpt) out.insert(out.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0});
    return out;
}

// A 12-byte header announcing one question, followed by the given bytes.
inline std::vector<uint8_t> headerThen(std::initializer_list<int> rest = {}) {
    std::vector<uint8_t> out = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (int b : rest) out.push_back(static_cast<uint8_t>(b));
    return out;
}

}  // namespace vesk::test
