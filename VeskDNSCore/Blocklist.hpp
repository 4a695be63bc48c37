#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/NameSet.hpp"

namespace vesk {

// The blocked domains, loaded from files of one domain per line. Read-only after
// construction, so any number of threads may ask at once; a changed list is a new one.
class Blocklist {
public:
    // Never fails: a missing or unreadable file, or one that is not UTF-8, blocks nothing.
    explicit Blocklist(const std::string& path);
    explicit Blocklist(const std::vector<std::string>& lines);
    // The union of several files, each read as one is (one that cannot be read or is not
    // UTF-8 adds nothing); `added`, when given, gets how many names each added that no
    // file before it had. Files are read once, in pieces, so that building holds no file
    // whole beside the set.
    static Blocklist unionOf(const std::vector<std::string>& paths, std::vector<size_t>* added = nullptr);
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

    NameSet blocked;
};

}  // namespace vesk
