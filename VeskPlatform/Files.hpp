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

// Replaces the file at path with data as a whole: written to a temporary file created
// with mode 0600 in the same directory, flushed to disk, renamed over path, and the
// directory flushed, so that no reader (and no crash) ever sees it empty, partial or
// readable by others. The error's text on failure (and the file is left as it was), an
// empty text on success.
std::string writeAtomically(const std::string& path, std::string_view data);

}  // namespace vesk::Files
