#include "ExecutablePath.hpp"

#include <limits.h>
#include <unistd.h>

#include <vector>

#ifdef __APPLE__
#include <crt_externs.h>
#include <mach-o/dyld.h>
#endif

#include "VeskPlatform/Files.hpp"

namespace vesk::ExecutablePath {
namespace {

std::string reportedExecutable() {
#ifdef __APPLE__
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
    return buffer.data();
#else
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
#endif
}

std::string firstArgument() {
#ifdef __APPLE__
    char** argv = *_NSGetArgv();
    return (argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
#else
    auto cmdline = Files::readAll("/proc/self/cmdline");
    if (!cmdline) return {};
    return cmdline->substr(0, cmdline->find('\0'));
#endif
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

std::string appendingComponent(std::string_view base, std::string_view component) {
    base = withoutTrailingSlashes(base);
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    if (base.empty()) return std::string(component);
    if (component.empty()) return std::string(base);
    std::string out(base);
    if (out.back() != '/') out += '/';
    out += component;
    return out;
}

std::string deletingLastComponent(std::string_view path) {
    path = withoutTrailingSlashes(path);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(withoutTrailingSlashes(path.substr(0, slash)));
}

std::string directory() {
    std::string executable = reportedExecutable();
    if (executable.starts_with('/')) return deletingLastComponent(executable);
    std::string first = firstArgument();
    if (!first.starts_with('/')) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) first = appendingComponent(cwd, first);
    }
    return deletingLastComponent(first);
}

std::string resolve(std::string_view path, std::string_view executableDir) {
    if (path.starts_with('/')) return std::string(path);
    return appendingComponent(executableDir, path);
}

}  // namespace vesk::ExecutablePath
