#pragma once

#include <optional>
#include <string>

namespace vesk::Files {

// The whole file as bytes, or none when it cannot be opened or read (a directory, a
// missing file, a read error). Decoding is the caller's business.
std::optional<std::string> readAll(const std::string& path);

}  // namespace vesk::Files
