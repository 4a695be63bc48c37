#pragma once

#include <optional>
#include <string>
#include <vector>

#include "State.hpp"

namespace vesk::hostsim {

using Args = std::vector<std::string>;

// Exit statuses of sysexits(3): a bad command line, and a host that cannot be used.
inline constexpr int exitUsage = 64;
inline constexpr int exitSoftware = 70;

// The simulated host: a directory standing in for the Mac's root, with the tools' shared
// state as text files in its hostsim/ directory.
class Host {
public:
    explicit Host(std::string root);

    const std::string& root() const { return dir; }
    // The local path of an absolute host path; a relative one is left as it is.
    std::string path(const std::string& hostPath) const;
    // The local path of one of the state files.
    std::string state(const std::string& name) const { return dir + "/hostsim/" + name; }

private:
    std::string dir;
};

// The host's state lock, held while it lives, so that one tool's read-modify-write of a
// state file is never lost to another's running at the same time.
class StateLock {
public:
    explicit StateLock(const Host& host);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd;
};

// The file's content, or none when it does not exist.
std::optional<std::string> readFile(const std::string& path);
// The file's non-empty lines; none when it does not exist.
std::vector<std::string> readLines(const std::string& path);
// Replaces the file whole (a temporary file renamed over it), so that readers that do not
// take the lock still never see half of it.
void writeLines(const std::string& path, const std::vector<std::string>& lines);
// Adds one line in a single write to a file opened for appending, so that lines from
// concurrent writers never interleave.
void appendLine(const std::string& path, const std::string& line);

// The word as a POSIX shell reads it back: as it is when it is plain, else single-quoted.
std::string shellQuoted(const std::string& word);

}  // namespace vesk::hostsim
