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

std::string writeAtomically(const std::string& path, std::string_view data) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string pattern = path + ".XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    int fd = ::mkstemp(temporary.data());  // mode 0600
    if (fd < 0) return std::strerror(errno);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.data());
        return std::string(std::strerror(error));
    };
    if (::fchmod(fd, 0600) != 0) return fail(errno);
    if (!writeAll(fd, data)) return fail(errno != 0 ? errno : EIO);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.data());
        return std::strerror(error);
    }
    if (::rename(temporary.data(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.data());
        return std::strerror(error);
    }
    int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);  // the rename itself reaches the disk
        ::close(dir);
    }
    return {};
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
