#include "ConsoleUser.hpp"

#include <sys/stat.h>

namespace vesk {

std::optional<uid_t> HostConsoleUser::find() const {
    struct stat info {};
    if (::stat(root.path("/dev/console").c_str(), &info) != 0 || info.st_uid < 500) return std::nullopt;
    return info.st_uid;
}

}  // namespace vesk
