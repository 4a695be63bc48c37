#pragma once

#include <cstddef>
#include <optional>

namespace vesk {

// The process's descriptors: how many are open, and its soft limit (SIZE_MAX for none).
struct DescriptorUse {
    size_t open = 0;
    size_t limit = 0;
};

// Counted through /dev/fd (macOS) or /proc/self/fd, whichever there is; none when neither
// can be listed. A listing costs milliseconds with thousands open: call it sparingly.
std::optional<DescriptorUse> descriptorUse();

}  // namespace vesk
