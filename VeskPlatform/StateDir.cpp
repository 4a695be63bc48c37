#include "StateDir.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

using namespace std::chrono_literals;

// Why a directory as lstat saw it is not to be trusted; none when it is.
std::optional<std::string> judge(const std::string& hostPath, const struct stat& seen, uid_t self) {
    if (S_ISLNK(seen.st_mode)) return hostPath + " is a symbolic link";
    if (!S_ISDIR(seen.st_mode)) return hostPath + " is not a directory";
    if (seen.st_uid != 0 && seen.st_uid != self) return hostPath + " belongs to uid " + std::to_string(seen.st_uid);
    if (seen.st_mode & S_IWOTH) return hostPath + " is writable by everyone";
    if (seen.st_mode & S_IWGRP) return hostPath + " is writable by its group";
    return std::nullopt;
}

// lstat's answer, or why there is none; a missing directory is no problem.
std::optional<std::string> examine(const std::string& local, const std::string& hostPath, struct stat& seen) {
    if (::lstat(local.c_str(), &seen) == 0) return std::nullopt;
    if (errno == ENOENT) {
        seen.st_mode = 0;
        return std::nullopt;
    }
    return "cannot examine " + hostPath + ": " + std::strerror(errno);
}

// The links macOS itself has at the top of the file system, each into /private.
bool systemLink(const std::string& local, const std::string& hostPath) {
    static constexpr std::array<const char*, 3> shipped{"/etc", "/var", "/tmp"};
    bool listed = false;
    for (const char* name : shipped) listed = listed || hostPath == name;
    if (!listed) return false;
    std::array<char, 64> target{};
    ssize_t n = ::readlink(local.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
    std::string to(target.data(), static_cast<size_t>(n));
    return to == "private" + hostPath || to == "/private" + hostPath;
}

}  // namespace

StateDir::StateDir(Parts dirParts) : parts(std::move(dirParts)) {}

std::optional<std::string> StateDir::check(const std::string& rootPath, const std::string& directory, uid_t self) {
    std::string root = rootPath.empty() ? std::string("/") : rootPath;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    // Only a plain absolute path names one directory whatever the links on the way.
    if (directory.empty() || directory[0] != '/') return directory + " is not an absolute path";
    std::string dir;
    for (size_t from = 1; from <= directory.size();) {
        size_t end = std::min(directory.find('/', from), directory.size());
        std::string name = directory.substr(from, end - from);
        if (name == "." || name == "..") return directory + " is not a plain path";
        if (!name.empty()) dir += "/" + name;
        from = end + 1;
    }
    if (dir.empty()) dir = "/";
    // A directory outside the host root is walked up to the file system's own.
    std::string top = root == "/" || dir == root || dir.starts_with(root + "/") ? root : "/";
    auto hostPathOf = [&](const std::string& local) {
        if (top == "/") return local;
        return local.size() == top.size() ? std::string("/") : local.substr(top.size());
    };

    for (std::string local = dir;;) {
        std::string hostPath = hostPathOf(local);
        struct stat seen {};
        if (auto failed = examine(local, hostPath, seen)) return failed;
        if (S_ISLNK(seen.st_mode) && systemLink(local, hostPath)) {
            // What the link leads to stands in its place.
            std::string privateDir = (top == "/" ? "" : top) + "/private";
            for (const std::string& target : {privateDir + hostPath, privateDir}) {
                struct stat into {};
                if (auto failed = examine(target, hostPathOf(target), into)) return failed;
                if (into.st_mode == 0) return hostPath + " leads nowhere";
                if (auto found = judge(hostPathOf(target), into, self)) return found;
            }
        } else if (seen.st_mode != 0) {
            if (auto found = judge(hostPath, seen, self)) return found;
        }
        if (local == top) return std::nullopt;
        size_t slash = local.rfind('/');
        local = slash == 0 ? "/" : local.substr(0, slash);
    }
}

std::optional<std::string> StateDir::problem() {
    std::optional<std::string> found;
    for (const auto& directory : parts.directories) {
        if ((found = check(parts.root, directory, parts.self))) break;
    }
    auto now = parts.clock.now();
    bool logIt = false, reportIt = false;
    std::optional<Clock::Monotonic::time_point> reportedBefore;
    {
        std::lock_guard guard(lock);
        if (!found) {
            lastLogged.reset();
            lastReported.reset();
            return std::nullopt;
        }
        logIt = !lastLogged || now - *lastLogged >= 1min;
        if (logIt) lastLogged = now;
        reportIt = !lastReported || now - *lastReported >= 1h;
        reportedBefore = lastReported;
        if (reportIt) lastReported = now;
    }
    if (logIt) log.error("insecure {}: {} — {}", parts.kind, *found, parts.refused);
    if (reportIt && !(parts.report && parts.report(*found))) {
        std::lock_guard guard(lock);
        if (lastReported == now) lastReported = reportedBefore;
    }
    return found;
}

}  // namespace vesk
