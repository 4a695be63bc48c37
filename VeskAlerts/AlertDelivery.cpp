// Block alerts and monitoring events: what AlertReporter sends, on top of its tokens.
#include "AlertReporter.hpp"

#include <future>

#include "VeskPlatform/Clock.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;

}  // namespace

// One alert's place in the backlog, held by everything that carries the alert: the
// place is given back when the last of them is done with it.
struct AlertReporter::Pending {
    std::atomic<int64_t>& count;
    ~Pending() { --count; }
};

std::string AlertReporter::payload(const std::string& category, SystemClock::time_point occurredAt,
                                   const std::string& platform) {
    // Keys in ascending order, compact: json's default object keeps its keys sorted.
    json body = {{"domainCategory", category}, {"occurredAt", Clock::isoTime(occurredAt)}, {"severity", "LOW"},
                 {"source", "DNS_BLOCK"}, {"sourcePlatform", platform}};
    try {
        return body.dump();
    } catch (const json::exception&) {
        return {};  // not valid UTF-8, say: the post goes out empty
    }
}

void AlertReporter::blocked(std::string_view category, const DomainName&, SystemClock::time_point at) {
    reportBlock(std::string(category), at);
}

void AlertReporter::reportBlock(const std::string& category, SystemClock::time_point occurredAt) {
    if (pendingAlerts.fetch_add(1) >= pendingAlertCap) {
        --pendingAlerts;
        return noteDropped();
    }
    auto pending = std::shared_ptr<Pending>(new Pending{pendingAlerts});
    environment.tokenQ.async([self = shared_from_this(), category, occurredAt, pending] {
        auto accessToken = self->ensureAccessTokenLocked();
        if (!accessToken) {
            // Signing out said once that reporting stopped; an unpaired device says it each time.
            if (!self->signedOut) self->log.error("alert skipped: no auth token (run pair.sh?)");
            return;
        }
        auto body = std::make_shared<const std::string>(payload(category, occurredAt, self->sourcePlatform));
        self->post(std::move(body), std::move(*accessToken), 0, pending);
    });
}

// At most one line a minute, counting what was dropped since the last.
void AlertReporter::noteDropped() {
    ++droppedSinceReport;
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(environment.now().time_since_epoch()).count();
    int64_t last = lastDropReport.load();
    if (last != INT64_MIN && now - last < 60) return;
    if (!lastDropReport.compare_exchange_strong(last, now)) return;  // another caller reports
    log.error("alerts backlog full — dropped {}", droppedSinceReport.exchange(0));
}

HttpRequest AlertReporter::backendRequest(const std::string& url, std::string body,
                                          const std::string& accessToken) const {
    return {"POST", url,
            {"Content-Type: application/json", "apikey: " + anonKey, "Authorization: Bearer " + accessToken},
            std::move(body)};
}

void AlertReporter::post(std::shared_ptr<const std::string> body, std::string accessToken, int64_t attempt,
                         std::shared_ptr<Pending> pending) {
    auto request = backendRequest(ingest, *body, accessToken);
    std::weak_ptr<AlertReporter> weak = weak_from_this();
    environment.http.start(std::move(request), [weak, body, accessToken, attempt, pending](HttpResponse response) {
        auto self = weak.lock();
        if (!self) return;
        long status = response.status;
        if (status >= 200 && status <= 299) {
            self->log.info("alert sent code={}", status);
            return;
        }
        if (status == 401 && attempt == 0) {
            // The token was refused: renew it once and send the same alert again.
            self->environment.tokenQ.async([self, body, pending] {
                self->cachedAccessToken.reset();
                if (auto renewed = self->ensureAccessTokenLocked()) self->post(body, *renewed, 1, pending);
            });
            return;
        }
        self->log.error("alert failed code={} err={} attempt={}", status,
                        response.error.empty() ? "none" : response.error, attempt);
        if (attempt < self->maxRetries && status != 401) {
            auto delay = std::chrono::seconds(int64_t{1} << std::min<int64_t>(attempt, 30));
            self->environment.tokenQ.asyncAfter(delay, [self, body, accessToken, attempt, pending] {
                self->post(body, accessToken, attempt + 1, pending);
            });
        }
    });
}

void AlertReporter::reportMonitoringEvent(const std::string& event, json detail, std::function<void()> completion) {
    environment.tokenQ.async([self = shared_from_this(), event, detail = std::move(detail),
                              completion = std::move(completion)] {
        auto accessToken = self->ensureAccessTokenLocked();
        if (!accessToken) {
            if (!self->signedOut) self->log.error("monitoring event {} not sent: no access token — the partner was not told", event);
            if (completion) completion();
            return;
        }
        json body = {{"p_event", event}};
        if (detail.is_object() && !detail.empty()) body["p_detail"] = detail;
        std::string encoded;
        try {
            encoded = body.dump();
        } catch (const json::exception&) {
            // sent without a body
        }
        self->environment.http.start(self->backendRequest(self->monitoringRpc, std::move(encoded), *accessToken),
                                     [weak = std::weak_ptr<AlertReporter>(self), event, completion](HttpResponse response) {
                                         if (auto reporter = weak.lock()) {
                                             reporter->log.info("monitoring event {} -> {}", event, response.status);
                                         }
                                         if (completion) completion();
                                     });
    });
}

void AlertReporter::reportMonitoringEventSync(const std::string& event, std::chrono::duration<double> timeout,
                                              json detail) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    reportMonitoringEvent(event, std::move(detail), [done] { done->set_value(); });
    finished.wait_for(timeout);
}

}  // namespace vesk
