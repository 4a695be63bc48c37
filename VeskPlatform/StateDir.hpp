#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

namespace LogChannels {
inline constexpr LogChannel state{daemon, "state"};
}  // namespace LogChannels

// Whether the directories that hold the daemon's state (the PIN digest and its lock-out,
// the refresh token and e-mail, whether filtering is meant to be on) can be trusted: each
// of them and every directory above it, up to the host root, must belong to root or to the
// daemon's own user, be writable by nobody else (a group, the admin group included, and a
// sticky world-writable directory count as others), and be no symbolic link but those the
// system ships at the top (/etc, /var and /tmp into /private). Whoever can write one of
// them can move the state aside and start afresh: a PIN of their own, a pairing of their
// own, the filter off. A check is a few lstat calls, made afresh on every use (never on
// the DNS path). Safe to call from any thread.
class StateDir {
public:
    // Tells the partner why; false when there was nobody to tell (not yet, or not at all).
    using Report = std::function<bool(const std::string& reason)>;
    struct Parts {
        std::string root;                      // the host root, a local path ("/": the file system)
        std::vector<std::string> directories;  // local paths
        Clock& clock;
        Report report;
        uid_t self = ::geteuid();
        // How the log names the directories, and what their owner refuses while they fail.
        std::string kind = "state directory";
        std::string refused = "PIN, pairing and turning filtering off refused";
    };
    explicit StateDir(Parts parts);
    StateDir(const StateDir&) = delete;
    StateDir& operator=(const StateDir&) = delete;

    // None when every directory can be trusted; else why not ("/usr/local/etc is writable
    // by its group"). A failure is logged at most once a minute and reported at once, then
    // once an hour while it lasts; one that clears and comes back is new.
    std::optional<std::string> problem();
    bool trusted() { return !problem(); }

    // The walk for one directory: it and each one above it, up to root (to "/" when it is
    // not under root). Missing directories are passed over: they are made later, 0700.
    static std::optional<std::string> check(const std::string& root, const std::string& directory, uid_t self);

private:
    Parts parts;
    Log log{LogChannels::state};
    std::mutex lock;  // guards the two times
    std::optional<Clock::Monotonic::time_point> lastLogged, lastReported;
};

}  // namespace vesk
