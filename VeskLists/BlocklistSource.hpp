#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vesk {

// What the filter knows of one downloaded list: its last good copy, a shrunk copy it is
// still weighing, and when to ask again. A list that comes back empty, or with fewer than
// half the names of the last good copy, is kept out: a broken or hijacked server must not
// empty the filter. A list that has really shrunk is taken once the same content has come
// at three refreshes in a row.
class BlocklistSource {
public:
    using Duration = std::chrono::seconds;
    // A converted copy of the list, as its cache record keeps it.
    struct Copy {
        std::string etag, lastModified;  // the server's validators, for conditional requests
        std::string digest;              // of the converted list
        size_t names = 0;
    };
    enum class Verdict { taken, takenShrunk, unchanged, refusedEmpty, refusedShrunk, failed };

    // good: the cached copy whose digest matched, none otherwise (then nothing is asked
    // conditionally). refresh: the period between fetches, positive.
    BlocklistSource(std::optional<Copy> good, Duration refresh) : last(std::move(good)), period(refresh) {}

    // The headers that make an unchanged list cost a 304 and no parse.
    std::vector<std::string> conditionalHeaders() const;

    // The outcome of one fetch: a download converted to `copy`, a 304, or a failure (no
    // answer, an error status, a body too large, a conversion that failed).
    Verdict fetched(const Copy& copy);
    Verdict notModified();
    Verdict failed();

    // Before the next fetch: the refresh period, or while fetches fail one minute doubling
    // up to the period (up to five minutes while there is no good copy).
    Duration nextDelay() const { return retry.count() > 0 ? retry : period; }
    // A period shortened by up to a tenth (`draw` in [0, 1)), so that machines started
    // together do not all fetch at the same second.
    static Duration jittered(Duration period, double draw);

    const std::optional<Copy>& good() const { return last; }
    // How many times in a row the shrunk copy now weighed has come.
    int shrunkSeen() const { return shrunkTimes; }

private:
    std::optional<Copy> last;
    Duration period;
    Duration retry{0};  // zero while fetches succeed
    std::string shrunkDigest;
    int shrunkTimes = 0;
};

}  // namespace vesk
