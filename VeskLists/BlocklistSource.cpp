#include "BlocklistSource.hpp"

#include <algorithm>

namespace vesk {

std::vector<std::string> BlocklistSource::conditionalHeaders() const {
    std::vector<std::string> headers;
    if (!last) return headers;
    if (!last->etag.empty()) headers.push_back("If-None-Match: " + last->etag);
    if (!last->lastModified.empty()) headers.push_back("If-Modified-Since: " + last->lastModified);
    return headers;
}

BlocklistSource::Verdict BlocklistSource::fetched(const Copy& copy) {
    retry = Duration(0);
    if (copy.names == 0) {
        shrunkTimes = 0;
        return Verdict::refusedEmpty;
    }
    if (last && copy.names * 2 < last->names) {
        // Only the same content, refresh after refresh, counts: a server that returns a
        // different stub each time is broken, not shrinking.
        if (copy.digest == shrunkDigest) {
            ++shrunkTimes;
        } else {
            shrunkDigest = copy.digest;
            shrunkTimes = 1;
        }
        if (shrunkTimes < 3) return Verdict::refusedShrunk;
        shrunkTimes = 0;
        last = copy;
        return Verdict::takenShrunk;
    }
    shrunkTimes = 0;
    bool same = last && last->digest == copy.digest;
    last = copy;
    return same ? Verdict::unchanged : Verdict::taken;
}

BlocklistSource::Verdict BlocklistSource::notModified() {
    // Nothing was asked conditionally without a good copy: such a 304 is the server's fault.
    if (!last) return failed();
    retry = Duration(0);
    shrunkTimes = 0;  // the good copy came again: the shrunk one did not come in a row
    return Verdict::unchanged;
}

BlocklistSource::Verdict BlocklistSource::failed() {
    // Until a good copy has come none of the list is in force: it is tried every few minutes
    // at most, so that a machine installed offline filters soon after it comes online.
    Duration longest = last ? period : std::min(period, Duration(300));
    retry = std::min(retry.count() > 0 ? retry * 2 : Duration(60), longest);
    return Verdict::failed;
}

BlocklistSource::Duration BlocklistSource::jittered(Duration period, double draw) {
    auto cut = static_cast<Duration::rep>(static_cast<double>(period.count()) * 0.1 * std::clamp(draw, 0.0, 1.0));
    return period - Duration(cut);
}

}  // namespace vesk
