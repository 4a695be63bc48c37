#include "Blocklist.hpp"

#include <algorithm>
#include <cstring>

#include "VeskDNSCore/HostTables.hpp"
#include "VeskPlatform/Files.hpp"

namespace vesk {

// Applies the line rules and inserts in small batches: the buckets of a batch are
// prefetched together, so a million random inserts do not wait on memory one by one.
class Blocklist::Loader {
public:
    explicit Loader(Blocklist& target) : list(target) {}

    void add(std::string_view raw) {
        std::string_view line = DomainName::trimmed(raw);
        // Lower-casing never makes or removes a '#' or a '.', so reject before paying for it.
        if (line.empty() || line.front() == '#' || line.front() == '.' ||
            line.find('.') == std::string_view::npos) {
            return;
        }
        std::string& name = names[pending];
        if (DomainName::isASCII(line)) {
            name.assign(line);
            DomainName::lowerASCII(name);
        } else {
            name = DomainName::lowercased(line);
        }
        NameWalk walk(name);
        if (HostTables::isNeverBlock(walk)) return;
        hashes[pending] = walk.begin()->hash;
        list.blocked.prefetch(hashes[pending]);
        if (++pending == batch) flush();
    }

    void finish() { flush(); }

private:
    void flush() {
        for (size_t i = 0; i < pending; ++i) list.blocked.insert(names[i], hashes[i]);
        pending = 0;
    }

    static constexpr size_t batch = 16;
    Blocklist& list;
    std::string names[batch];
    uint64_t hashes[batch] = {};
    size_t pending = 0;
};

Blocklist::Blocklist(const std::string& path) {
    auto data = Files::readAll(path);
    if (!data) return;
    std::string_view text = *data;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!DomainName::isValidUTF8(text)) return;
    load(text, static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
}

Blocklist::Blocklist(const std::vector<std::string>& lines) {
    size_t bytes = 0;
    for (const auto& line : lines) bytes += line.size();
    blocked = NameSet(lines.size(), bytes);
    Loader loader(*this);
    for (const auto& line : lines) loader.add(line);
    loader.finish();
}

void Blocklist::load(std::string_view text, size_t lineCount) {
    blocked = NameSet(lineCount, text.size());
    Loader loader(*this);
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) end = text.size();
        loader.add(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    loader.finish();
}

bool Blocklist::contains(const DomainName& domain) const {
    // Lines that are never-block names or under one are dropped at load, and every parent
    // of a never-block name is one itself (or a single label, never listed), so a hit
    // needs no second look.
    return !blocked.empty() && !domain.empty() && blocked.containsAny(NameWalk(domain.view()));
}

bool Blocklist::listsAtOrUnder(const DomainName& domain) const {
    std::string_view parent = domain.view();
    if (parent.empty()) return false;
    return blocked.anyOf([parent](std::string_view name) {
        return name.ends_with(parent) &&
               (name.size() == parent.size() || name[name.size() - parent.size() - 1] == '.');
    });
}

}  // namespace vesk
