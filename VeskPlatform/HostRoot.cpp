#include "HostRoot.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

// The name and home directory fields of uid's entry in a passwd(5) text.
std::optional<HostRoot::Account> accountInPasswd(const std::string& text, uid_t uid) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
        if (fields.size() < 6) continue;
        char* end = nullptr;
        unsigned long id = std::strtoul(fields[2].c_str(), &end, 10);
        if (fields[2].empty() || *end != '\0' || id != uid) continue;
        if (fields[0].empty() || fields[5].empty()) return std::nullopt;
        return HostRoot::Account{fields[0], fields[5]};
    }
    return std::nullopt;
}

}  // namespace

HostRoot::HostRoot(std::string directory) : root(std::move(directory)) {
    while (!root.empty() && root.back() == '/') root.pop_back();
}

HostRoot HostRoot::fromEnvironment() {
#ifdef __APPLE__
    // On the Mac the daemon acts on the Mac, whatever its environment says.
    return HostRoot();
#else
    const char* named = std::getenv("VESK_HOST_ROOT");
    return named ? HostRoot(named) : HostRoot();
#endif
}

std::string HostRoot::path(const std::string& hostPath) const {
    if (root.empty() || hostPath.empty() || hostPath[0] != '/') return hostPath;
    return root + hostPath;
}

std::optional<HostRoot::Account> HostRoot::accountOf(uid_t uid) const {
    if (!root.empty()) {
        auto text = Files::readAll(root + "/etc/passwd");
        return text ? accountInPasswd(*text, uid) : std::nullopt;
    }
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int failed = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (failed == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (failed != 0 || found == nullptr || entry.pw_dir == nullptr || *entry.pw_dir == '\0' ||
            entry.pw_name == nullptr || *entry.pw_name == '\0') {
            return std::nullopt;
        }
        return Account{entry.pw_name, entry.pw_dir};
    }
}

}  // namespace vesk
