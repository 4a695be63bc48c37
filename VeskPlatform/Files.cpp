#include "Files.hpp"

#include "VeskPlatform/Utf8.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vesk::Files {

std::optional<std::string> readAll(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    // The size is a hint only: the file may change while it is read, and pipes report 0.
    size_t capacity = info.st_size > 0 ? static_cast<size_t>(info.st_size) + 1 : 65536;
    data.resize(capacity);
    size_t used = 0;
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    data.resize(used);
    return data;
}

std::optional<std::string> readText(const std::string& path) {
    auto content = readAll(path);
    if (!content || !Utf8::isValid(*content)) return std::nullopt;
    auto text = Utf8::trimmed(*content);
    if (text.empty()) return std::nullopt;
    return std::string(text);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

AtomicFile::AtomicFile(const std::string& target, unsigned mode) : path(target) {
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = ::mkstemp(name.data());  // mode 0600 until written
    if (fd < 0) {
        problem = std::strerror(errno);
        return;
    }
    temporary = name.data();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) fail(errno);
}

AtomicFile::~AtomicFile() {
    if (fd >= 0) ::close(fd);
    if (!temporary.empty()) ::unlink(temporary.c_str());
}

void AtomicFile::fail(int error) {
    if (problem.empty()) problem = std::strerror(error != 0 ? error : EIO);
}

bool AtomicFile::write(std::string_view data) {
    if (problem.empty() && !writeAll(fd, data)) fail(errno);
    return problem.empty();
}

std::string AtomicFile::commit() {
    if (problem.empty() && ::fsync(fd) != 0) fail(errno);
    int closed = fd < 0 ? 0 : ::close(fd);
    fd = -1;
    if (problem.empty() && closed != 0) fail(errno);
    if (problem.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
    if (!problem.empty()) return problem;
    temporary.clear();
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);  // the rename itself reaches the disk
        ::close(dir);
    }
    return {};
}

std::string writeAtomically(const std::string& path, std::string_view data) {
    AtomicFile file(path, 0600);
    file.write(data);
    return file.commit();
}

bool createParentDirectories(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return true;
    std::string directory = path.substr(0, slash);
    for (size_t from = 0;;) {
        size_t end = directory.find('/', from);
        std::string prefix = directory.substr(0, end);
        if (!prefix.empty() && prefix.find_first_not_of('/') != std::string::npos) {
            if (::mkdir(prefix.c_str(), 0700) == 0) {
                // The umask may have taken bits away; never more than 0700 is visible meanwhile.
                int fd = ::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) return false;
                bool changed = ::fchmod(fd, 0700) == 0;
                ::close(fd);
                if (!changed) return false;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (end == std::string::npos) break;
        from = end + 1;
    }
    struct stat info {};
    return directory.empty() || (::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
}

}  // namespace vesk::Files
