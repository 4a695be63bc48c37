#pragma once

#include <optional>
#include <string>

#include "VeskLists/BlocklistSource.hpp"

namespace vesk {

// The last good copy of each downloaded list, kept on disk so that the filter starts with
// them before any network: in the directory, per source, NAME.txt (the converted list) and
// NAME.json beside it, its record ({"url","etag","lastModified","digest","names",
// "updated"}), NAME being the first 16 hex digits of the URL's SHA-256. A download is
// converted into NAME.new first and replaces the copy only once it is judged good. Files
// are 0644 and each appears whole or not at all. The caller holds the directory to the
// state directory's ownership rule: whoever can write it can choose what is blocked.
class BlocklistCache {
public:
    struct Record {
        BlocklistSource::Copy copy;
        std::string updated;  // when the copy was last fetched or confirmed, ISO 8601
    };

    explicit BlocklistCache(std::string dir) : directory(std::move(dir)) {}

    std::string listPath(const std::string& url) const { return stem(url) + ".txt"; }
    std::string pendingPath(const std::string& url) const { return stem(url) + ".new"; }
    std::string recordPath(const std::string& url) const { return stem(url) + ".json"; }

    // The cached copy's record, when its list is there, is the URL's, and matches its
    // digest; otherwise none and why (a copy that was altered is fetched afresh).
    std::optional<Record> load(const std::string& url, std::string& why) const;
    // Puts the pending copy in place (nothing to move when `moveList` is false: the list is
    // unchanged) and writes its record. An empty text on success, otherwise the error's.
    std::string commit(const std::string& url, const Record& record, bool moveList = true) const;

    // The SHA-256 of a file's bytes in hex; empty when it cannot be read.
    static std::string digestOf(const std::string& path);

private:
    std::string stem(const std::string& url) const;

    std::string directory;
};

}  // namespace vesk
