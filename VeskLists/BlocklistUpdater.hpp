#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "VeskDNSCore/LiveBlocklist.hpp"
#include "VeskLists/BlocklistCache.hpp"
#include "VeskLists/BlocklistSource.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/HttpSession.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"

namespace vesk {

namespace LogChannels {
inline constexpr LogChannel lists{daemon, "lists"};
}  // namespace LogChannels

// Keeps the filter's list the union of the blocklist file and the downloaded lists. At
// startup the file and the cached copies load at once, with no network; then each source
// is fetched now and every refresh period (conditionally, so an unchanged list costs a
// 304), its download converted and judged, a good one cached and a new union built and
// published. A source that fails is retried sooner, and nothing it sends ever takes a
// good copy away. Its decisions run on its own queue; downloads on the session's thread;
// conversion and building on the pool, never on the DNS loop.
class BlocklistUpdater {
public:
    struct Parts {
        std::string file;               // the blocklist file
        std::vector<std::string> urls;  // https, or http to this machine
        std::string cacheDir;
        BlocklistSource::Duration refresh;
        HttpSession& http;
        BlockingPool& pool;
        TaskQueue& queue;
        Clock& clock;
        // The cache directory's ownership check: whoever can write it chooses what is
        // blocked, so nothing is read from it or stored in it while it fails.
        std::function<bool()> cacheTrusted;
        // In [0, 1): how much of a tenth each period is shortened by.
        std::function<double()> draw;
    };
    explicit BlocklistUpdater(Parts parts);
    BlocklistUpdater(const BlocklistUpdater&) = delete;
    BlocklistUpdater& operator=(const BlocklistUpdater&) = delete;

    // The file's and the cached copies' union, read now, with a startup line for each.
    std::shared_ptr<const Blocklist> loadAtStartup(const std::function<void(const std::string&)>& say);
    // Fetches every source now and then on its period; what is rebuilt goes to `live`,
    // which must outlive the updater's queue.
    void start(LiveBlocklist& live);
    // Reads the file again, when it changed, and fetches every source now.
    void refreshAll();
    // {"domains","file":{"path","names"},"sources":[{"url","names","updated","error"}]}
    nlohmann::json status() const;

private:
    struct Source {
        std::string url;
        BlocklistSource state;
        std::string updated;  // ISO 8601; empty: never
        std::string error;    // of the last fetch; empty: none
        uint64_t timer = 0;   // only the newest scheduled fetch runs
        bool fetching = false, again = false;
    };
    void fetch(size_t index);
    void answered(size_t index, const HttpResponse& response);
    void converted(size_t index, const BlocklistSource::Copy& copy, const std::string& error);
    void settle(size_t index, BlocklistSource::Verdict verdict, const std::optional<BlocklistSource::Copy>& before,
                const BlocklistSource::Copy& copy);
    void failed(size_t index, const std::string& error);
    void done(size_t index);
    void rebuild();
    std::string fileKey() const;
    void show();
    std::string downloadPath(const std::string& url) const { return cache.pendingPath(url) + ".part"; }

    Parts parts;
    BlocklistCache cache;
    Log log{LogChannels::lists};
    // On the queue only, after start.
    std::vector<Source> sources;
    LiveBlocklist* live = nullptr;
    bool building = false, buildAgain = false;
    std::string fileSeen;  // the file's size and modification time at the last build
    size_t fileNames = 0, domains = 0;
    mutable std::mutex shownLock;  // guards shown
    nlohmann::json shown;
};

}  // namespace vesk
