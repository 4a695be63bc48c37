#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesk::Files {

// The whole file as bytes, or none when it cannot be opened or read (a directory, a
// missing file, a read error). Decoding is the caller's business.
std::optional<std::string> readAll(const std::string& path);

// A small state file's text (a token, a digest): UTF-8 with white space and line breaks
// trimmed from both ends. None when it is missing, unreadable, not UTF-8 or blank.
std::optional<std::string> readText(const std::string& path);

// Writes all of data to fd, continuing short writes; false on an error.
bool writeAll(int fd, std::string_view data);

// Replaces the file at path with data as a whole: written to a temporary file created
// with mode 0600 in the same directory, flushed to disk, renamed over path, and the
// directory flushed, so that no reader (and no crash) ever sees it empty, partial or
// readable by others. The error's text on failure (and the file is left as it was), an
// empty text on success.
std::string writeAtomically(const std::string& path, std::string_view data);

// The same for a file written in parts (a list of millions of lines): the temporary file
// is created with `mode`, and goes again unless commit() puts it in place.
class AtomicFile {
public:
    AtomicFile(const std::string& path, unsigned mode);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False once anything failed (creating the file included); later writes do nothing.
    bool write(std::string_view data);
    // Flushes and renames over the path: an empty text, or the first error's.
    std::string commit();

private:
    void fail(int error);

    std::string path, temporary, problem;
    int fd = -1;
};

// Creates path's missing parent directories with mode 0700; existing ones are left alone.
bool createParentDirectories(const std::string& path);

}  // namespace vesk::Files

namespace vesk::Files {

// Removes base/relative, with everything in it when it is a directory, without ever
// following a symbolic link below base: the path is walked one component at a time, a
// link on the way ends the walk with nothing removed, and a link met as the last component
// or inside the tree is removed itself, never what it points at. For deleting as root
// inside a directory someone else controls. relative must not be absolute or name "." or
// "..". True when the path was there and is gone.
bool removeBeneath(const std::string& base, const std::string& relative);

}  // namespace vesk::Files
