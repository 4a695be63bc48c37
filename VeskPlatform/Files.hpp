#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesk::Files {

// The whole file as bytes, or none when it cannot be opened or read (a directory, a
// missing file, a read error). Decoding is the caller's business.
std::optional<std::string> readAll(const std::string& path);

// Writes all of data to fd, continuing short writes; false on an error.
bool writeAll(int fd, std::string_view data);

}  // namespace vesk::Files
