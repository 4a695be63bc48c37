// A blocklist built from arbitrary lines, asked about arbitrary names: never crashes,
// and every name it stored (a line that it kept) is found again with any case and a
// trailing dot.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/HostTables.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    vesk::Blocklist list(lines);
    auto contains = [&](const std::string& name) { return list.contains(vesk::DomainName(name)); };
    for (const auto& line : lines) {
        bool blocked = contains(line);
        (void)vesk::HostTables::isDoHBypass(vesk::DomainName(line));
        (void)vesk::HostTables::isPrivateRelayBypass(vesk::DomainName(line));
        if (!vesk::DomainName::isASCII(line) || line.ends_with(".")) continue;
        std::string upper = line;
        for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        if (contains(upper + ".") != blocked) std::abort();
        if (contains("sub." + line) < blocked && line.find('.') != std::string::npos &&
            line.find("..") == std::string::npos && !line.starts_with(".")) {
            std::abort();  // a blocked name blocks its subdomains
        }
    }
    return 0;
}
