#include "Blocklist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "VeskDNSCore/HostTables.hpp"

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

namespace {

// Hands each line of the file, without its line break, to take, reading a megabyte at a
// time; false when the file cannot be opened or read.
template <typename Take>
bool eachLine(const std::string& path, Take&& take) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string buffer(1 << 20, '\0'), partial;
    bool first = true, readable = true;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readable = got == 0;
            break;
        }
        std::string_view chunk(buffer.data(), static_cast<size_t>(got));
        for (size_t end; (end = chunk.find('\n')) != std::string_view::npos; chunk.remove_prefix(end + 1)) {
            std::string_view line = chunk.substr(0, end);
            if (!partial.empty()) line = partial.append(line);
            if (std::exchange(first, false) && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
            take(line);
            partial.clear();
        }
        partial.append(chunk);
    }
    ::close(fd);
    if (!readable) return false;
    std::string_view last = partial;
    if (first && last.starts_with("\xEF\xBB\xBF")) last.remove_prefix(3);
    if (!last.empty()) take(last);
    return true;
}

}  // namespace

Blocklist::Blocklist(const std::string& path) : Blocklist(unionOf({path})) {}

Blocklist::Blocklist(const std::vector<std::string>& lines) {
    size_t bytes = 0;
    for (const auto& line : lines) bytes += line.size();
    blocked = NameSet(lines.size(), bytes);
    Loader loader(*this);
    for (const auto& line : lines) loader.add(line);
    loader.finish();
}

Blocklist Blocklist::unionOf(const std::vector<std::string>& paths, std::vector<size_t>* added) {
    // The set is sized by the files' sizes (a line's bytes and its break are its record's
    // room), so each file is read once. A line break is never inside a UTF-8 sequence: a
    // file is UTF-8 when each line is. One found not to be, or not readable, part-way is
    // left out and the set built again without it: only such a file costs a second build.
    size_t bytes = 0;
    for (const auto& path : paths) {
        struct stat seen {};
        if (::stat(path.c_str(), &seen) == 0 && S_ISREG(seen.st_mode)) bytes += static_cast<size_t>(seen.st_size);
    }
    std::vector<bool> usable(paths.size(), true);
    for (;;) {
        Blocklist list;
        list.blocked = NameSet(0, bytes);
        std::vector<size_t> counts;
        bool leftOut = false;
        for (size_t i = 0; i < paths.size(); ++i) {
            size_t before = list.count();
            if (usable[i]) {
                Loader loader(list);
                bool valid = true;
                bool read = eachLine(paths[i], [&](std::string_view line) {
                    valid = valid && DomainName::isValidUTF8(line);
                    if (valid) loader.add(line);
                });
                loader.finish();
                usable[i] = read && valid;
                leftOut = leftOut || (!usable[i] && list.count() > before);
            }
            counts.push_back(list.count() - before);
        }
        if (leftOut) continue;
        if (added) *added = std::move(counts);
        return list;
    }
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
