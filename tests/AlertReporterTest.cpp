#include "VeskAlerts/AlertReporter.hpp"

#include <gtest/gtest.h>

#include "VeskPlatform/Files.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"
#include "vesk_dnsd/Adapters.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

HttpResponse answer(long status, std::string body = "") {
    return {status, std::move(body), status < 0 ? "timed out" : "", {}};
}

// A reporter on a manual queue and clock, against a scripted backend that records every
// request: the token endpoint answers tokenAnswer, the ingest endpoint the statuses in
// ingest (the last one repeats), the monitoring endpoint 200. No tokenAnswer holds the
// request in held.
struct Reporting final : HttpClient {
    explicit Reporting(const std::string& fileContent = "R0\n", int64_t maxRetries = 3) {
        tokenFile = dir.write("token", fileContent);
        AlertConfig config{"https://backend.example/", "anon", tokenFile, "MACOS", maxRetries};
        // No waiting for an account's answer: the fake answers at once, or holds it on purpose.
        reporter = AlertReporter::create(config, {*this, queue, [this] { return queue.wallNow() + wallAhead; }, 0ms,
                                                  [this] { return trusted; }});
    }
    void start(HttpRequest request, Completion completion) override {
        requests.push_back(request);
        auto response = request.url.find("/rpc/") != std::string::npos ? answer(200) : tokenAnswer;
        if (request.url.find("/functions/v1/") != std::string::npos) {
            response = answer(ingest.at(std::min(ingestSeen++, ingest.size() - 1)));
        }
        if (response) return completion(std::move(*response));
        held.push_back(std::move(completion));
    }
    void block() {
        reporter->reportBlock("adult", queue.wallNow());
        queue.run();
    }
    // The requests to URLs containing part, and their bodies.
    size_t count(const std::string& part) const { return bodies(part).size(); }
    std::vector<json> bodies(const std::string& part) const {
        std::vector<json> out;
        for (const auto& r : requests) {
            if (r.url.find(part) != std::string::npos) out.push_back(json::parse(r.body));
        }
        return out;
    }
    std::string lastAuthorization() const { return requests.back().headers.back(); }

    test::TempDir dir;
    std::string tokenFile;
    test::ManualQueue queue;
    std::chrono::seconds wallAhead{0};  // the wall clock moved without the queue's
    bool trusted = true;                 // the token file's directory
    std::optional<HttpResponse> tokenAnswer = answer(200, R"({"access_token":"A1","refresh_token":"R0","expires_in":3600})");
    std::vector<long> ingest{201};
    size_t ingestSeen = 0;
    std::vector<HttpRequest> requests;
    std::vector<Completion> held;
    std::shared_ptr<AlertReporter> reporter;
};

TEST(AlertReporter, ChecksItsConfigurationAndComposesTheEndpoints) {
    Reporting r;
    auto create = [&](std::optional<std::string> url, std::string key = "k", std::string file = "/t") {
        return AlertReporter::create({std::move(url), std::move(key), std::move(file), "MACOS", 3}, {r, r.queue});
    };
    // A URL and its ingest endpoint's, none where it is refused: clear text only to this
    // machine, and nothing that is no URL of ours.
    const std::string ingest = "functions/v1/tarnik-content-alert-ingest", based = "https://p.example/base/?x=1";
    const std::pair<std::string, std::string> cases[] = {
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080/" + ingest},
        {"http://localhost/", "http://localhost/" + ingest}, {"http://[::1]:9/", "http://[::1]:9/" + ingest},
        {"https://p.example", "https://p.example/" + ingest}, {based, "https://p.example/base/" + ingest + "?x=1"},
        {"http://backend.example/", ""}, {"HTTPS://p.example/", ""}, {"not a url", ""}};
    for (const auto& [url, want] : cases) {
        auto reporter = create(url);
        EXPECT_EQ(reporter ? reporter->ingestURL() : "", want) << url;
    }
    EXPECT_EQ(create(based)->tokenURL(), "https://p.example/base/auth/v1/token?grant_type=refresh_token");
    const std::string https = "https://p.example/";
    EXPECT_FALSE(create(std::nullopt) || create(https, "") || create(https, "k", ""));
}

// The token file is read trimmed, and written only when the backend rotates the token.
TEST(AlertReporter, ABurstOfBlocksMakesOneTokenRequestAndOneAlertEach) {
    Reporting r("  R0 \n");
    for (int i = 0; i < 3; ++i) r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    auto token = r.requests.front();
    EXPECT_EQ(token.body, R"({"refresh_token":"R0"})");
    EXPECT_EQ(token.headers, (std::vector<std::string>{"Content-Type: application/json", "apikey: anon"}));
    ASSERT_EQ(std::tuple(r.count("/auth/v1/token"), r.count("/functions/v1/")), std::tuple(1u, 3u));
    EXPECT_EQ(r.requests.back().body, R"({"domainCategory":"adult","occurredAt":"2025-12-18T00:00:00Z",)"
                                             R"("severity":"LOW","source":"DNS_BLOCK","sourcePlatform":"MACOS"})");
    EXPECT_EQ(r.lastAuthorization(), "Authorization: Bearer A1");
    EXPECT_EQ(Files::readAll(r.tokenFile), "  R0 \n");
    // Neither white space only nor text that is not UTF-8 is a token.
    for (const char* unusable : {" \n\t", "R0\xff"}) EXPECT_FALSE(Reporting(unusable).reporter->paired());

    r.tokenAnswer = answer(200, R"({"access_token":"A2","refresh_token":"R1 rotated"})");
    r.queue.advance(3540s);
    r.block();
    EXPECT_EQ(Files::readAll(r.tokenFile), "R1 rotated");
    EXPECT_EQ(r.lastAuthorization(), "Authorization: Bearer A2");
}

TEST(AlertReporter, CachesTheAccessTokenForItsLifetimeLessAMinute) {
    // expires_in as JSON (none: absent), and how long the token then serves.
    const std::pair<std::string, std::chrono::seconds> cases[] = {
        {"", 3540s}, {"\"3600\"", 3540s}, {"3600.5", 3540s}, {"120", 60s}, {"-5", 60s}, {"1e300", 3540s}};
    for (const auto& [expiresIn, cachedFor] : cases) {
        SCOPED_TRACE(expiresIn);
        Reporting r;
        std::string lifetime = expiresIn.empty() ? "" : R"(,"expires_in":)" + expiresIn;
        r.tokenAnswer = answer(200, R"({"access_token":"A1")" + lifetime + "}");
        std::vector<size_t> tokenRequests;
        for (auto step : {0s, cachedFor - 1s, 1s}) {
            r.queue.advance(step);
            r.block();
            tokenRequests.push_back(r.count("/auth/v1/token"));
        }
        EXPECT_EQ(tokenRequests, (std::vector<size_t>{1, 1, 2}));
    }
}

TEST(AlertReporter, RetriesWithBackOffAndRenewsARefusedTokenOnce) {
    // What the ingest endpoint answers, the retry limit, the second of each alert sent (the
    // same alert each time), and how many tokens were asked for.
    for (const auto& [ingest, maxRetries, sentAt, tokenRequests] :
         std::vector<std::tuple<std::vector<long>, int64_t, std::vector<int64_t>, size_t>>{
             {{500}, 3, {0, 1, 3, 7}, 1}, {{-1, 204}, 3, {0, 1}, 1}, {{401}, 3, {0, 0}, 2},
             {{401, 200}, 0, {0, 0}, 2}, {{500}, 0, {0}, 1}}) {
        Reporting r("R0", maxRetries);
        r.ingest = ingest;
        std::vector<int64_t> sent;
        r.reporter->reportBlock("adult", r.queue.wallNow());
        for (int second = 0; second <= 20; ++second) {
            r.queue.run();
            while (sent.size() < r.count("/functions/v1/")) sent.push_back(second);
            r.queue.advance(1s);
        }
        EXPECT_EQ(sent, sentAt) << "answers " << testing::PrintToString(ingest) << ", retries " << maxRetries;
        EXPECT_EQ(r.count("/auth/v1/token"), tokenRequests);
        auto bodies = r.bodies("/functions/v1/");
        for (const auto& body : bodies) EXPECT_EQ(body, bodies.front()) << "the same alert each time";
    }
}

// The monitor's and the tamper watch's events go out as the daemon wires them, and a
// completion runs whether anything could be sent or not.
TEST(AlertReporter, MonitoringEventsCarryTheirDetailAndAlwaysComplete) {
    Reporting r;
    int completed = 0;
    r.reporter->reportMonitoringEvent("FILTER_DISABLED", json::object(), [&] { ++completed; });
    bypassReporter(*r.reporter)(5);
    tamperReporter(*r.reporter)("hosts", "x");
    r.queue.run();
    EXPECT_EQ(r.bodies("/rpc/tarnik_report_monitoring_event"),
              (std::vector<json>{{{"p_event", "FILTER_DISABLED"}},
                                 {{"p_event", "FILTER_BYPASSED"}, {"p_detail", {{"minutes", 5}}}},
                                 {{"p_event", "FILTER_BYPASSED"}, {"p_detail", {{"via", "hosts"}, {"what", "x"}}}}}));
    // Nothing is read from a directory that cannot be trusted: once the access token held
    // has expired (it serves until then, as the control API's test shows), the partner is
    // not told.
    r.trusted = false;
    r.queue.advance(3540s);
    r.reporter->reportMonitoringEvent("FILTER_BYPASSED", json::object(), [&] { ++completed; });
    r.queue.run();
    EXPECT_EQ(std::tuple(r.bodies("/rpc/").size(), r.count("/auth/v1/token"), completed), std::tuple(3u, 1u, 2));
    // The synchronous form returns at its timeout when nothing answers (here, the queue
    // does not run again).
    r.reporter->reportMonitoringEventSync("SIGNED_OUT", 10ms);
}

TEST(AlertReporter, PendingAlertsAreCappedAndDropsReportedOnceAMinute) {
    auto sink = test::CaptureSink::install();
    Reporting r;
    for (int i = 0; i < 1003; ++i) r.reporter->reportBlock("adult", r.queue.wallNow());
    EXPECT_TRUE(sink->waitFor("alerts backlog full — dropped 1"));
    r.wallAhead = 60s;  // a minute on, with the backlog still full
    r.reporter->reportBlock("adult", r.queue.wallNow());
    EXPECT_TRUE(sink->waitFor("alerts backlog full — dropped 3"));
    r.queue.run();
    EXPECT_EQ(r.count("/functions/v1/"), 1000u);
    r.block();  // delivered alerts gave their places back
    EXPECT_EQ(r.count("/functions/v1/"), 1001u);
}

// {"email":"~~>??@x.io"} as a token's claims (base64url, two "=" left off), and the refresh
// token the answer rotates to.
const std::string rotating = R"({"access_token":"h.eyJlbWFpbCI6In5-Pj8_QHguaW8ifQ.s","refresh_token":"P1"})";

// Learning an account spends its token: the pairing keeps the one it was rotated to, also
// when that answer comes after the wait, and the previous pairing's access token goes.
TEST(AlertReporter, PairingKeepsTheTokenTheLookupRotatedTo) {
    // The steps after the lookup: p pairs, h answers the held lookup (rotating); a lookup
    // held past the wait is answered after or before the pairing, or for one refused.
    const struct {
        std::optional<HttpResponse> lookup;
        std::string steps;
        std::optional<std::string> email;
        const char* kept;
    } cases[] = {
        {answer(200, rotating), "p", "~~>??@x.io", "P1"},
        {answer(400, rotating), "p", "~~>??@x.io", "P0"},  // the e-mail whatever the status; no token from a refusal
        {answer(200, "not json"), "p", std::nullopt, "P0"},
        {std::nullopt, "ph", std::nullopt, "P1"},
        {std::nullopt, "hp", std::nullopt, "P1"},
        {std::nullopt, "h", std::nullopt, "R0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Reporting r;
        r.block();
        r.tokenAnswer = c.lookup;
        auto lookup = r.reporter->emailForRefreshToken("P0");
        EXPECT_EQ(lookup.email, c.email);
        EXPECT_EQ(Files::readAll(r.tokenFile), "R0\n") << "stored before the pairing was decided";
        for (char step : c.steps) {
            if (step == 'h') r.held.at(0)(answer(200, rotating));
            EXPECT_TRUE(step != 'p' || r.reporter->pair(lookup));
        }
        r.queue.run();
        EXPECT_EQ(Files::readAll(r.tokenFile), c.kept);
        if (c.steps == "h") continue;
        r.tokenAnswer = answer(200, R"({"access_token":"A2"})");
        r.block();
        EXPECT_EQ(r.bodies("/auth/v1/token").back(), json({{"refresh_token", c.kept}}));
        EXPECT_EQ(r.lastAuthorization(), "Authorization: Bearer A2");
    }
}

// Alerts already under way go out with the token they had; nothing after the sign-out
// leaves the machine, even with a token file put back by hand, until the next pairing.
TEST(AlertReporter, SigningOutStopsReportingUntilTheNextPairing) {
    Reporting r;
    r.ingest = {500, 201};
    r.block();
    r.reporter->signOut();
    r.dir.write("token", "R5");
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.reporter->reportMonitoringEvent("FILTER_BYPASSED", json::object());
    r.queue.advance(1s);
    EXPECT_EQ(r.requests.size(), 3u);  // the token, the alert, and its retry
    EXPECT_EQ(r.lastAuthorization(), "Authorization: Bearer A1");

    ASSERT_TRUE(r.reporter->pair({"P0", std::nullopt, std::nullopt, nullptr}));
    r.block();
    EXPECT_EQ(r.count("/functions/v1/"), 3u);
}

// A token is read in three parts only (the pairing test reads a whole one), and its claims
// must be JSON ("not json" here).
TEST(AlertReporter, ReadsTheEmailClaimOfAWholeTokenOnly) {
    // {"email":"a@b.co"} as claims, in two and four parts.
    for (const char* jwt : {"h.eyJlbWFpbCI6ImFAYi5jbyJ9", "h.eyJlbWFpbCI6ImFAYi5jbyJ9.s.x", "h.bm90IGpzb24.s",
                            "h.!!!.s"}) {
        EXPECT_FALSE(AlertReporter::decodeJWTEmail(jwt)) << jwt;
    }
}

}  // namespace
}  // namespace vesk
