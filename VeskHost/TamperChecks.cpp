#include "TamperChecks.hpp"

#include <arpa/inet.h>

#include "VeskPlatform/Text.hpp"

namespace vesk::TamperChecks {
namespace {

// The blank-separated words of a line, up to a "#" comment.
std::vector<std::string_view> words(std::string_view line) {
    return split(line.substr(0, line.find('#')), " \t\r\f\v", EmptyPieces::drop);
}

// Addresses that reach no one else: the unspecified ones and this machine's own.
bool pointsNowhere(std::string_view address) {
    std::string text(address);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        uint32_t host = ntohl(v4.s_addr);
        return host == 0 || (host >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

}  // namespace

ResolverFile parseResolverFile(std::string_view fileName, std::string_view text) {
    ResolverFile file{std::string(fileName), {}};
    for (auto line : nonEmptyLines(text)) {
        auto fields = words(line);
        if (fields.size() < 2) continue;
        if (fields[0] == "domain") file.domain = fields[1];
        if (fields[0] == "nameserver") file.nameservers.emplace_back(fields[1]);
        // As the system's resolver reads it: a port it cannot use leaves the default.
        if (auto port = fields[0] == "port" ? parseDecimal(fields[1]) : std::nullopt; port && *port > 0 && *port <= 65535) {
            file.port = static_cast<uint16_t>(*port);
        }
    }
    return file;
}

bool routesFilteredNames(const DomainName& domain, const Blocklist& list, std::map<std::string, bool>& known) {
    if (domain.empty()) return false;
    if (domain.view().find('.') == std::string_view::npos) return true;
    if (list.contains(domain)) return true;
    auto cached = known.find(domain.text());
    if (cached != known.end()) return cached->second;
    // Anyone can name many domains; the answers kept stay few.
    if (known.size() >= 256) known.clear();
    bool routes = list.listsAtOrUnder(domain);
    known.emplace(domain.text(), routes);
    return routes;
}

std::vector<std::string> refusedHostsNames(std::string_view text, const QueryPolicy& policy) {
    std::vector<std::string> names;
    for (auto line : nonEmptyLines(text)) {
        auto fields = words(line);
        if (fields.size() < 2 || pointsNowhere(fields[0])) continue;
        for (size_t i = 1; i < fields.size(); ++i) {
            DomainName name(fields[i]);
            if (policy.refuses(name)) names.push_back(name.text());
        }
    }
    return names;
}

std::string truncated(std::string text, size_t limit) {
    size_t characters = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        // A byte that does not continue a character starts one.
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && characters++ == limit) {
            text.resize(at);
            break;
        }
    }
    return text;
}

}  // namespace vesk::TamperChecks
