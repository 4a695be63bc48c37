#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Files.hpp"

namespace vesk::Files {
namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int descriptor) : fd(descriptor) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }
    void reset(int other) {
        if (fd >= 0) ::close(fd);
        fd = other;
    }

private:
    int fd;
};

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Deeper trees than this are left partly in place rather than holding a descriptor per
// level without bound.
constexpr int deepest = 128;

bool removeEntry(int parent, const char* name, int depth);

// Empties the directory open at fd.
void removeContents(int fd, int depth) {
    int listing = ::dup(fd);
    if (listing < 0) return;
    ::fcntl(listing, F_SETFD, FD_CLOEXEC);
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    for (const auto& name : names) removeEntry(fd, name.c_str(), depth + 1);
}

// Removes parent/name: a directory (never a link to one) with its contents, anything else
// by unlinking it.
bool removeEntry(int parent, const char* name, int depth) {
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISDIR(info.st_mode)) return ::unlinkat(parent, name, 0) == 0;
    if (depth >= deepest) return false;
    Fd dir(::openat(parent, name, directoryFlags));
    // Replaced by a link or a file since the stat: unlink whatever is there now.
    if (dir.get() < 0) return (errno == ELOOP || errno == ENOTDIR) && ::unlinkat(parent, name, 0) == 0;
    removeContents(dir.get(), depth);
    return ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

}  // namespace

bool removeBeneath(const std::string& base, const std::string& relative) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= relative.size();) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (part == "." || part == "..") return false;
        if (!part.empty()) parts.push_back(std::move(part));
        start = end + 1;
    }
    if (parts.empty() || relative[0] == '/') return false;

    Fd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        int next = ::openat(dir.get(), parts[i].c_str(), directoryFlags);
        if (next < 0) return false;
        dir.reset(next);
    }
    return removeEntry(dir.get(), parts.back().c_str(), 0);
}

}  // namespace vesk::Files
