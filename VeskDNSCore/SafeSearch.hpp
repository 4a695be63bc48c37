#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vesk::SafeSearch {

// The provider's safe-search host for a search or video service's host name (also with
// one leading "www" label), or none. Only listed names are rewritten, never subdomains.
std::optional<std::string_view> target(std::string_view name);

// Number of rewritten names (the table's size).
size_t count();

}  // namespace vesk::SafeSearch
