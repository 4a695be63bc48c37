#include "BlocklistUpdater.hpp"

#include <strings.h>

#include <cstdio>
#include <filesystem>

#include "VeskLists/ListConverter.hpp"
#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

// A header's value in the answer, or empty.
std::string headerValue(const HttpResponse& response, std::string_view name) {
    for (const auto& line : response.headers) {
        if (line.size() > name.size() && line[name.size()] == ':' &&
            ::strncasecmp(line.data(), name.data(), name.size()) == 0) {
            size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return {};
}

}  // namespace

BlocklistUpdater::BlocklistUpdater(Parts updaterParts) : parts(std::move(updaterParts)), cache(parts.cacheDir) {}

std::shared_ptr<const Blocklist> BlocklistUpdater::loadAtStartup(const std::function<void(const std::string&)>& say) {
    bool trusted = !parts.urls.empty() && parts.cacheTrusted();
    if (!parts.urls.empty() && !trusted) {
        say("vesk-dnsd: WARNING blocklist cache " + parts.cacheDir + " cannot be trusted — cached lists not used");
    }
    std::vector<std::string> paths{parts.file};
    for (const auto& url : parts.urls) {
        std::string why = "no cached copy";
        auto record = trusted ? cache.load(url, why) : std::nullopt;
        if (!record && why != "no cached copy") say("vesk-dnsd: cached copy of " + url + " not used: " + why);
        sources.push_back({url, BlocklistSource(record ? std::optional(record->copy) : std::nullopt, parts.refresh),
                           record ? record->updated : "", ""});
        if (record) paths.push_back(cache.listPath(url));
    }
    fileSeen = fileKey();
    std::vector<size_t> added;
    auto list = std::make_shared<const Blocklist>(Blocklist::unionOf(paths, &added));
    fileNames = added[0];
    domains = list->count();
    say("vesk-dnsd: loaded " + std::to_string(fileNames) + " blocked domains from " + parts.file);
    for (const auto& source : sources) {
        if (auto good = source.state.good()) {
            say("vesk-dnsd: loaded " + std::to_string(good->names) + " blocked domains from " + source.url +
                " (cached)");
        }
    }
    show();
    return list;
}

void BlocklistUpdater::start(LiveBlocklist& published) {
    parts.queue.async([this, &published] {
        live = &published;
        for (size_t i = 0; i < sources.size(); ++i) fetch(i);
    });
}

void BlocklistUpdater::refreshAll() {
    parts.queue.async([this] {
        // An unchanged file is not read again: a build costs a second of processor time.
        bool changed = fileKey() != fileSeen;
        log.info("blocklist: {}refreshing {} sources", changed ? "reading " + parts.file + " again and " : "",
                 sources.size());
        if (changed) rebuild();
        for (size_t i = 0; i < sources.size(); ++i) {
            ++sources[i].timer;
            fetch(i);
        }
    });
}

nlohmann::json BlocklistUpdater::status() const {
    std::lock_guard lock(shownLock);
    return shown;
}

void BlocklistUpdater::fetch(size_t index) {
    auto& source = sources[index];
    if (source.fetching) {
        source.again = true;
        return;
    }
    if (!parts.cacheTrusted()) return failed(index, "the cache directory " + parts.cacheDir + " cannot be trusted");
    source.fetching = true;
    Files::createParentDirectories(downloadPath(source.url));
    HttpRequest request{"GET", source.url, source.state.conditionalHeaders(), ""};
    parts.http.startToFile(std::move(request), downloadPath(source.url), [this, index](HttpResponse response) {
        parts.queue.async([this, index, response = std::move(response)] { answered(index, response); });
    });
}

void BlocklistUpdater::answered(size_t index, const HttpResponse& response) {
    auto& source = sources[index];
    if (response.status == 304) {
        std::remove(downloadPath(source.url).c_str());
        if (source.state.notModified() == BlocklistSource::Verdict::failed) {
            return failed(index, "HTTP 304 without a copy to keep");
        }
        return settle(index, BlocklistSource::Verdict::unchanged, source.state.good(), *source.state.good());
    }
    if (response.status != 200) {
        std::remove(downloadPath(source.url).c_str());
        return failed(index, response.status < 0 ? response.error : "HTTP " + std::to_string(response.status));
    }
    BlocklistSource::Copy copy{headerValue(response, "ETag"), headerValue(response, "Last-Modified"), "", 0};
    parts.pool.submit([this, index, copy, url = source.url]() mutable {
        ListConverter::Counts counts;
        std::string error = ListConverter::convertFile(downloadPath(url), cache.pendingPath(url), counts);
        std::remove(downloadPath(url).c_str());
        if (error.empty() && counts.skipped > 0) {
            log.info("blocklist: {} — {} lines skipped (not a list entry)", url, counts.skipped);
        }
        copy.names = counts.names;
        if (error.empty()) copy.digest = BlocklistCache::digestOf(cache.pendingPath(url));
        if (error.empty() && copy.digest.empty()) error = "the converted list cannot be read";
        if (!error.empty()) error = "cannot convert the download: " + error;
        parts.queue.async([this, index, copy, error] { converted(index, copy, error); });
    });
}

void BlocklistUpdater::converted(size_t index, const BlocklistSource::Copy& copy, const std::string& error) {
    if (!error.empty()) return failed(index, error);
    auto before = sources[index].state.good();
    settle(index, sources[index].state.fetched(copy), before, copy);
}

// Stores a copy judged good (replacing the cached list only when it changed) and builds
// the union anew, or says why a download was refused.
void BlocklistUpdater::settle(size_t index, BlocklistSource::Verdict verdict,
                              const std::optional<BlocklistSource::Copy>& before, const BlocklistSource::Copy& copy) {
    using Verdict = BlocklistSource::Verdict;
    auto& source = sources[index];
    std::string pending = cache.pendingPath(source.url);
    switch (verdict) {
        case Verdict::taken:
        case Verdict::takenShrunk:
        case Verdict::unchanged: {
            bool changed = verdict != Verdict::unchanged;
            if (!changed) std::remove(pending.c_str());
            std::string updated = Clock::isoTime(parts.clock.wallNow());
            if (auto stored = cache.commit(source.url, {*source.state.good(), updated}, changed); !stored.empty()) {
                source.error = "cannot store the copy: " + stored;
                log.error("blocklist: {} — {}", source.url, source.error);
                break;
            }
            source.updated = updated;
            source.error.clear();
            log.info("blocklist: {} — {} names", source.url, copy.names);
            if (verdict == Verdict::takenShrunk) {
                log.info("blocklist: {} shrank from {} to {} names, the same list three times in a row — taken",
                         source.url, before->names, copy.names);
            }
            if (changed) rebuild();
            break;
        }
        case Verdict::refusedEmpty:
        case Verdict::refusedShrunk: {
            std::remove(pending.c_str());
            std::string kept = before ? "the last good copy stays" : "there is no copy to use yet";
            source.error = verdict == Verdict::refusedEmpty
                               ? "refused: the list has no names — " + kept
                               : "refused: the list has " + std::to_string(copy.names) +
                                     " names, fewer than half of the last good copy's " +
                                     std::to_string(before->names) + " — " + kept + " (the same list " +
                                     std::to_string(source.state.shrunkSeen()) + " of 3 times in a row)";
            log.error("blocklist: {} — {}", source.url, source.error);
            break;
        }
        case Verdict::failed:
            break;
    }
    done(index);
}

void BlocklistUpdater::failed(size_t index, const std::string& error) {
    auto& source = sources[index];
    source.state.failed();
    source.error = error;
    log.error("blocklist: {} — fetch failed ({}); next try in {} s", source.url, error,
              source.state.nextDelay().count());
    done(index);
}

// Schedules the source's next fetch: sooner while it fails, the period shortened by up to
// a tenth otherwise, so that machines started together do not all fetch at once.
void BlocklistUpdater::done(size_t index) {
    auto& source = sources[index];
    source.fetching = false;
    show();
    if (std::exchange(source.again, false)) return fetch(index);
    auto delay = source.state.nextDelay();
    if (delay == parts.refresh) delay = BlocklistSource::jittered(delay, parts.draw());
    uint64_t timer = ++source.timer;
    parts.queue.asyncAfter(delay, [this, index, timer] {
        if (sources[index].timer == timer) fetch(index);
    });
}

// One build at a time, on the pool; a change meanwhile builds again once it is done. While
// the cache cannot be trusted, what is in force stays.
void BlocklistUpdater::rebuild() {
    if (building) {
        buildAgain = true;
        return;
    }
    if (!parts.urls.empty() && !parts.cacheTrusted()) {
        log.error("blocklist: cache {} cannot be trusted — the lists in force stay", parts.cacheDir);
        return;
    }
    building = true;
    fileSeen = fileKey();
    std::vector<std::string> paths{parts.file};
    for (const auto& source : sources) {
        if (source.state.good()) paths.push_back(cache.listPath(source.url));
    }
    parts.pool.submit([this, paths] {
        std::vector<size_t> added;
        auto list = std::make_shared<const Blocklist>(Blocklist::unionOf(paths, &added));
        parts.queue.async([this, list, fileAdded = added[0], used = paths.size() - 1] {
            building = false;
            fileNames = fileAdded;
            domains = list->count();
            if (live) live->publish(list);
            log.info("blocklist: now {} names from {} sources", domains, used);
            show();
            if (std::exchange(buildAgain, false)) rebuild();
        });
    });
}

std::string BlocklistUpdater::fileKey() const {
    std::error_code failed;
    auto size = std::filesystem::file_size(parts.file, failed);
    if (failed) return "missing";
    auto modified = std::filesystem::last_write_time(parts.file, failed);
    return std::to_string(size) + "@" + std::to_string(modified.time_since_epoch().count());
}

void BlocklistUpdater::show() {
    nlohmann::json listed = nlohmann::json::array();
    for (const auto& source : sources) {
        auto good = source.state.good();
        listed.push_back({{"url", source.url},
                          {"names", good ? good->names : 0},
                          {"updated", source.updated.empty() ? nlohmann::json() : nlohmann::json(source.updated)},
                          {"error", source.error.empty() ? nlohmann::json() : nlohmann::json(source.error)}});
    }
    nlohmann::json view = {{"domains", domains}, {"file", {{"path", parts.file}, {"names", fileNames}}},
                           {"sources", std::move(listed)}};
    std::lock_guard lock(shownLock);
    shown = std::move(view);
}

}  // namespace vesk
