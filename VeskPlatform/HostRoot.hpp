#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace vesk {

// Where the host's own paths live. On macOS that is the file system itself. Elsewhere the
// macOS paths the daemon runs, stats, reads or deletes are taken under the directory named
// by VESK_HOST_ROOT (by default "/"), where a simulated host can stand in for the Mac.
class HostRoot {
public:
    // The file system itself.
    HostRoot() = default;
    // Paths under root ("/" is the file system itself).
    explicit HostRoot(std::string root);
    // The one the environment names (VESK_HOST_ROOT, never read on macOS), or the file
    // system itself.
    static HostRoot fromEnvironment();

    // The local path for an absolute host path; other paths are returned as they are.
    std::string path(const std::string& hostPath) const;
    // A user's name and home directory (a host path) from the password database: the
    // system's, or ROOT/etc/passwd under a host root. None when the user is unknown or has
    // no home.
    struct Account {
        std::string name, home;
    };
    std::optional<Account> accountOf(uid_t uid) const;

private:
    std::string root;  // empty: the file system itself
};

}  // namespace vesk
