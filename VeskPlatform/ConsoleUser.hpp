#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/ToolRunner.hpp"

namespace vesk {

// The user logged in at the console: the owner of "/dev/console", when that is a real
// user (ID 500 or more; below that it is root at the login window or a system account).
class ConsoleUser {
public:
    virtual ~ConsoleUser() = default;
    virtual std::optional<uid_t> find() const = 0;
    // The user's name and home directory (a host path), when the password database knows
    // the user.
    virtual std::optional<HostRoot::Account> account(uid_t uid) const = 0;

    // The arguments of /bin/launchctl that run tool in the user's session as the user:
    // "asuser" alone moves the tool into the session but leaves it running as root, with
    // root's preferences. None when the user's name is unknown.
    std::optional<ToolRunner::Args> inSession(uid_t uid, const std::string& tool, const ToolRunner::Args& args) const;
};

class HostConsoleUser final : public ConsoleUser {
public:
    explicit HostConsoleUser(const HostRoot& hostRoot) : root(hostRoot) {}
    std::optional<uid_t> find() const override;
    std::optional<HostRoot::Account> account(uid_t uid) const override { return root.accountOf(uid); }

private:
    const HostRoot& root;
};

}  // namespace vesk
