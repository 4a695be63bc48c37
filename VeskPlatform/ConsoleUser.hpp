#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "VeskPlatform/HostRoot.hpp"

namespace vesk {

// The user logged in at the console: the owner of "/dev/console", when that is a real
// user (ID 500 or more; below that it is root at the login window or a system account).
class ConsoleUser {
public:
    virtual ~ConsoleUser() = default;
    virtual std::optional<uid_t> find() const = 0;
    // The user's home directory (a host path), when the password database knows the user.
    virtual std::optional<std::string> home(uid_t uid) const = 0;
};

class HostConsoleUser final : public ConsoleUser {
public:
    explicit HostConsoleUser(const HostRoot& hostRoot) : root(hostRoot) {}
    std::optional<uid_t> find() const override;
    std::optional<std::string> home(uid_t uid) const override { return root.homeOf(uid); }

private:
    const HostRoot& root;
};

}  // namespace vesk
