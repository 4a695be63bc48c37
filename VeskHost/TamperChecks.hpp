#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/QueryPolicy.hpp"

// What the tamper watch reads in the host's resolver files and hosts file, and which of
// it routes filtered names around the filter. Pure, apart from the blocklist it is given.
namespace vesk::TamperChecks {

// A per-domain resolver file: its domain (the "domain" line, else the file's name), the
// servers of its "nameserver" lines and the port they are asked on ("port", else 53).
struct ResolverFile {
    std::string domain;
    std::vector<std::string> nameservers;
    uint16_t port = 53;
};
ResolverFile parseResolverFile(std::string_view fileName, std::string_view text);

// Whether a resolver for this domain takes filtered names past the filter: a top-level
// domain, a listed name or one under it, or a parent of a listed name. The last asks the
// whole list, so answers are kept in known (the list never changes).
bool routesFilteredNames(const DomainName& domain, const Blocklist& list, std::map<std::string, bool>& known);

// The names on the hosts file's lines that give a refused name an address. Lines that
// point names at nowhere (0.0.0.0, ::) or at this machine, as blocking hosts files do,
// give nothing away and are passed over.
std::vector<std::string> refusedHostsNames(std::string_view text, const QueryPolicy& policy);

// The text cut to at most limit characters (UTF-8 code points), never inside one.
std::string truncated(std::string text, size_t limit);

}  // namespace vesk::TamperChecks
