#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "VeskDNSCore/DomainName.hpp"

namespace vesk::SafeSearch {

// The provider's safe-search host for a search or video service's host name (also with
// one leading "www" label), or none. Only listed names are rewritten, never subdomains.
std::optional<std::string_view> target(const DomainName& name);

}  // namespace vesk::SafeSearch
