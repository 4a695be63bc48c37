#include "Descriptors.hpp"

#include <dirent.h>
#include <sys/resource.h>

#include <limits>

namespace vesk {
namespace {

std::optional<size_t> openDescriptors() {
    for (const char* listing : {"/dev/fd", "/proc/self/fd"}) {
        DIR* dir = ::opendir(listing);
        if (dir == nullptr) continue;
        size_t entries = 0;
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++entries;
        }
        ::closedir(dir);
        // The listing's own descriptor is among them.
        return entries > 0 ? entries - 1 : 0;
    }
    return std::nullopt;
}

}  // namespace

std::optional<DescriptorUse> descriptorUse() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::nullopt;
    auto open = openDescriptors();
    if (!open) return std::nullopt;
    size_t most = limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<size_t>::max()
                                                  : static_cast<size_t>(limit.rlim_cur);
    return DescriptorUse{*open, most};
}

}  // namespace vesk
