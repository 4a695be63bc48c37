#include "Host.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace vesk::hostsim {
namespace {

std::runtime_error systemError(const std::string& what, const std::string& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void writeAll(int fd, std::string_view data, const std::string& path) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw systemError("cannot write", path);
        data.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace

Host::Host(std::string root) : dir(std::move(root)) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
}

std::string Host::path(const std::string& hostPath) const {
    return !hostPath.empty() && hostPath[0] == '/' ? dir + hostPath : hostPath;
}

StateLock::StateLock(const Host& host) {
    std::string path = host.state("lock");
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw systemError("cannot open", path);
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        throw systemError("cannot lock", path);
    }
}

StateLock::~StateLock() { ::close(fd); }

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream text(readFile(path).value_or(""));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string content;
    for (const auto& line : lines) content += line + "\n";
    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw systemError("cannot create", temporary);
    try {
        writeAll(fd, content, temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw systemError("cannot replace", path);
    }
}

void appendLine(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw systemError("cannot open", path);
    std::string record = line + "\n";
    ssize_t written = ::write(fd, record.data(), record.size());
    int error = errno;
    ::close(fd);
    // A short write would split the line; a regular file takes it whole or fails.
    if (written != static_cast<ssize_t>(record.size())) {
        errno = written < 0 ? error : EIO;
        throw systemError("cannot append to", path);
    }
}

std::string shellQuoted(const std::string& word) {
    static constexpr std::string_view plain =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=@%+,-";
    if (!word.empty() && word.find_first_not_of(plain) == std::string::npos) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace vesk::hostsim
