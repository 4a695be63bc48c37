#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/NameSet.hpp"

namespace vesk {

// The blocked domains, loaded once from a file of one domain per line. Read-only after
// construction, so any number of threads may ask at once.
class Blocklist {
public:
    // Never fails: a missing or unreadable file, or one that is not UTF-8, blocks nothing.
    explicit Blocklist(const std::string& path);
    explicit Blocklist(const std::vector<std::string>& lines);
    Blocklist(Blocklist&&) = default;

    size_t count() const { return blocked.size(); }
    // Whether a question name, or one of its parents, is blocked. An empty list blocks
    // nothing, and never-block names always pass.
    bool contains(const DomainName& domain) const;
    // Whether a listed name is the domain or lies under it. Reads the whole list: for the
    // tamper watch's rare questions, never for queries.
    bool listsAtOrUnder(const DomainName& domain) const;
    size_t bytesHeld() const { return blocked.bytesHeld(); }

private:
    Blocklist() = default;
    class Loader;
    void load(std::string_view text, size_t lineCount);

    NameSet blocked;
};

}  // namespace vesk
