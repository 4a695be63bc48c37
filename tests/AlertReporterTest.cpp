#include "VeskAlerts/AlertReporter.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "VeskPlatform/Files.hpp"
#include "tests/support/CaptureSink.hpp"
#include "tests/support/FakeHttp.hpp"
#include "tests/support/ManualQueue.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

HttpResponse answer(long status, std::string body = "") { return {status, std::move(body), status < 0 ? "timed out" : ""}; }

// A reporter on a manual queue and clock, against a scripted backend: the token endpoint
// answers tokenAnswer, the ingest endpoint the statuses in ingest (the last one repeats),
// the monitoring endpoint 200.
struct Reporting {
    explicit Reporting(const std::string& fileContent = "R0\n", int64_t maxRetries = 3) {
        tokenFile = dir.write("token", fileContent);
        AlertConfig config{"https://backend.example/", "anon", tokenFile, "MACOS", maxRetries};
        // No waiting for an account's answer: the fake answers at once, or holds it on purpose.
        reporter = AlertReporter::create(config, {http, queue, [this] { return queue.wallNow() + wallAhead; }, 0ms,
                                                  [this] { return trusted; }});
    }
    std::optional<HttpResponse> respond(const HttpRequest& request) {
        if (request.url.find("/auth/v1/token") != std::string::npos) return tokenAnswer;
        if (request.url.find("/rpc/") != std::string::npos) return answer(200);
        long status = ingest.at(std::min(ingestSeen++, ingest.size() - 1));
        if (status == 0) return std::nullopt;  // held
        return answer(status);
    }
    std::vector<json> bodies(const std::string& part) const {
        std::vector<json> out;
        for (const auto& r : http.requests()) {
            if (r.url.find(part) != std::string::npos) out.push_back(json::parse(r.body));
        }
        return out;
    }

    test::TempDir dir;
    std::string tokenFile;
    test::ManualQueue queue;
    std::chrono::seconds wallAhead{0};  // the wall clock moved without the queue's
    bool trusted = true;                 // the token file's directory
    std::optional<HttpResponse> tokenAnswer = answer(200, R"({"access_token":"A1","refresh_token":"R0","expires_in":3600})");
    std::vector<long> ingest{201};
    size_t ingestSeen = 0;
    test::FakeHttp http{[this](const HttpRequest& r) { return respond(r); }};
    std::shared_ptr<AlertReporter> reporter;
};

TEST(AlertReporter, ChecksItsConfigurationAndComposesTheEndpoints) {
    test::ManualQueue queue;
    test::FakeHttp http([](const HttpRequest&) { return answer(200); });
    const struct {
        std::optional<std::string> url;
        std::string key, file;
        const char* ingest;  // none: refused
        const char* token;
    } cases[] = {
        {"https://p.example.co", "k", "/t", "https://p.example.co/functions/v1/tarnik-content-alert-ingest",
         "https://p.example.co/auth/v1/token?grant_type=refresh_token"},
        {"https://p.example.co/base/?x=1", "k", "/t", "https://p.example.co/base/functions/v1/tarnik-content-alert-ingest?x=1",
         "https://p.example.co/base/auth/v1/token?grant_type=refresh_token"},
        {"http://127.0.0.1:8080", "k", "/t", "http://127.0.0.1:8080/functions/v1/tarnik-content-alert-ingest",
         "http://127.0.0.1:8080/auth/v1/token?grant_type=refresh_token"},
        {"http://localhost/", "k", "/t", "http://localhost/functions/v1/tarnik-content-alert-ingest", nullptr},
        {"http://[::1]:9/", "k", "/t", "http://[::1]:9/functions/v1/tarnik-content-alert-ingest", nullptr},
        {"http://backend.example/", "k", "/t", nullptr, nullptr},  // clear text across a network
        {"HTTPS://p.example.co/", "k", "/t", nullptr, nullptr},
        {"not a url", "k", "/t", nullptr, nullptr},
        {std::nullopt, "k", "/t", nullptr, nullptr},
        {"https://p.example.co/", "", "/t", nullptr, nullptr},
        {"https://p.example.co/", "k", "", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.value_or("(none)"));
        auto reporter = AlertReporter::create({c.url, c.key, c.file, "MACOS", 3}, {http, queue});
        ASSERT_EQ(reporter != nullptr, c.ingest != nullptr);
        if (!reporter) continue;
        EXPECT_EQ(reporter->ingestURL(), c.ingest);
        if (c.token) {
            EXPECT_EQ(reporter->tokenURL(), c.token);
        }
    }
}

TEST(AlertReporter, ABurstOfBlocksMakesOneTokenRequestAndOneAlertEach) {
    auto sink = test::CaptureSink::install();
    Reporting r("  R0 \n");
    for (int i = 0; i < 3; ++i) r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    auto token = r.http.requests().front();
    EXPECT_EQ(token.body, R"({"refresh_token":"R0"})");
    EXPECT_EQ(token.headers, (std::vector<std::string>{"Content-Type: application/json", "apikey: anon"}));
    EXPECT_EQ(r.http.count("/auth/v1/token"), 1u);
    ASSERT_EQ(r.http.count("/functions/v1/"), 3u);
    auto alert = r.http.requests().back();
    EXPECT_EQ(alert.body, R"({"domainCategory":"adult","occurredAt":"2025-12-18T00:00:00Z","severity":"LOW",)"
                          R"("source":"DNS_BLOCK","sourcePlatform":"MACOS"})");
    EXPECT_EQ(alert.headers.back(), "Authorization: Bearer A1");
    EXPECT_TRUE(sink->waitFor("alert sent code=201"));
}

TEST(AlertReporter, CachesTheAccessTokenForItsLifetimeLessAMinute) {
    const struct {
        const char* expiresIn;  // JSON, or none
        int64_t cachedFor;      // seconds
    } cases[] = {{nullptr, 3540}, {"\"3600\"", 3540}, {"3600.5", 3540}, {"120", 60}, {"-5", 60}, {"1e300", 3540}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expiresIn ? c.expiresIn : "absent");
        Reporting r;
        std::string body = R"({"access_token":"A1")";
        if (c.expiresIn) body += std::string(R"(,"expires_in":)") + c.expiresIn;
        r.tokenAnswer = answer(200, body + "}");
        r.reporter->reportBlock("adult", r.queue.wallNow());
        r.queue.run();
        r.queue.advance(std::chrono::seconds(c.cachedFor) - 1s);
        r.reporter->reportBlock("adult", r.queue.wallNow());
        r.queue.run();
        EXPECT_EQ(r.http.count("/auth/v1/token"), 1u) << "renewed before its time";
        r.queue.advance(1s);
        r.reporter->reportBlock("adult", r.queue.wallNow());
        r.queue.run();
        EXPECT_EQ(r.http.count("/auth/v1/token"), 2u) << "kept past its time";
    }
}

TEST(AlertReporter, TheRefreshTokenFileIsReadTrimmedAndRotatedPrivately) {
    auto sink = test::CaptureSink::install();
    for (const char* unusable : {" \n\t", "R0\xff"}) {  // white space only; not UTF-8
        Reporting blank(unusable);
        EXPECT_FALSE(blank.reporter->paired());
        blank.reporter->reportBlock("adult", blank.queue.wallNow());
        blank.queue.run();
        EXPECT_TRUE(blank.http.requests().empty());
        EXPECT_TRUE(sink->waitFor("alert skipped: no auth token (run pair.sh?)"));
    }
    Reporting r("R0\n");
    r.tokenAnswer = answer(200, R"({"access_token":"A1","refresh_token":"R0","expires_in":60})");
    struct stat before {};
    ::stat(r.tokenFile.c_str(), &before);
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    struct stat same {};
    ::stat(r.tokenFile.c_str(), &same);
    EXPECT_EQ(same.st_ino, before.st_ino) << "an unchanged token was rewritten";
    EXPECT_EQ(Files::readAll(r.tokenFile), "R0\n");

    r.tokenAnswer = answer(200, R"({"access_token":"A2","refresh_token":"R1 rotated","expires_in":60})");
    r.queue.advance(61s);
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    EXPECT_EQ(Files::readAll(r.tokenFile), "R1 rotated");
    struct stat rotated {};
    ::stat(r.tokenFile.c_str(), &rotated);
    EXPECT_EQ(rotated.st_mode & 0777, 0600u);
    EXPECT_EQ(r.http.requests().back().headers.back(), "Authorization: Bearer A2");
}

TEST(AlertReporter, RetriesWithBackOffAndRenewsARefusedTokenOnce) {
    const struct {
        const char* what;
        std::vector<long> ingest;
        int64_t maxRetries;
        std::vector<int64_t> sentAt;  // seconds of each ingest request
        size_t tokenRequests;
        std::vector<std::string> failures;
    } cases[] = {
        {"500 every time", {500}, 3, {0, 1, 3, 7}, 1,
         {"code=500 err=none attempt=0", "code=500 err=none attempt=1", "code=500 err=none attempt=2",
          "code=500 err=none attempt=3"}},
        {"no answer", {-1, 204}, 3, {0, 1}, 1, {"code=-1 err=timed out attempt=0"}},
        {"401 then 401", {401}, 3, {0, 0}, 2, {"code=401 err=none attempt=1"}},
        {"no retries, 401 then 200", {401, 200}, 0, {0, 0}, 2, {}},
        {"no retries, 500", {500}, 0, {0}, 1, {"code=500 err=none attempt=0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto sink = test::CaptureSink::install();
        Reporting r("R0", c.maxRetries);
        r.ingest = c.ingest;
        std::vector<int64_t> sentAt;
        r.reporter->reportBlock("adult", r.queue.wallNow());
        for (int second = 0; second <= 20; ++second) {
            r.queue.run();
            while (sentAt.size() < r.http.count("/functions/v1/")) {
                sentAt.push_back(std::chrono::duration_cast<std::chrono::seconds>(r.queue.elapsed()).count());
            }
            r.queue.advance(1s);
        }
        EXPECT_EQ(sentAt, c.sentAt);
        EXPECT_EQ(r.http.count("/auth/v1/token"), c.tokenRequests);
        auto bodies = r.bodies("/functions/v1/");
        for (const auto& body : bodies) EXPECT_EQ(body, bodies.front()) << "the same alert each time";
        Log::flush();
        std::vector<std::string> failures;
        for (const auto& line : sink->texts()) {
            if (line.rfind("alert failed ", 0) == 0) failures.push_back(line.substr(13));
        }
        EXPECT_EQ(failures, c.failures);
    }
}

TEST(AlertReporter, MonitoringEventsCarryTheirDetailAndAlwaysComplete) {
    auto sink = test::CaptureSink::install();
    Reporting r;
    int completed = 0;
    r.reporter->reportMonitoringEvent("FILTER_DISABLED", json::object(), [&] { ++completed; });
    r.reporter->reportMonitoringEvent("FILTER_BYPASSED", {{"minutes", 5}}, [&] { ++completed; });
    r.queue.run();
    EXPECT_EQ(completed, 2);
    auto bodies = r.bodies("/rpc/");
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], (json{{"p_event", "FILTER_DISABLED"}}));
    EXPECT_EQ(bodies[1], (json{{"p_event", "FILTER_BYPASSED"}, {"p_detail", {{"minutes", 5}}}}));
    EXPECT_TRUE(sink->waitFor("monitoring event FILTER_BYPASSED -> 200"));
    // Nothing is read from a directory that cannot be trusted: the access token held serves
    // while it lasts, and then the partner is not told.
    r.trusted = false;
    for (auto step : {3539s, 1s}) {
        r.queue.advance(step);
        r.reporter->reportMonitoringEvent("FILTER_BYPASSED", json::object());
        r.queue.run();
    }
    EXPECT_EQ(std::pair(r.bodies("/rpc/").size(), r.http.count("/auth/v1/token")), std::pair(size_t{3}, size_t{1}));
    EXPECT_TRUE(sink->waitFor("monitoring event FILTER_BYPASSED not sent: no access token — the partner was not told"));

    // With no token to be had, the completion runs and nothing is sent.
    Reporting unpaired("");
    unpaired.reporter->reportMonitoringEvent("SIGNED_OUT", json::object(), [&] { ++completed; });
    unpaired.queue.run();
    EXPECT_EQ(completed, 3);
    EXPECT_TRUE(unpaired.http.requests().empty());
    // The synchronous form returns at its timeout when nothing answers (here, the queue
    // never runs).
    unpaired.reporter->reportMonitoringEventSync("SIGNED_OUT", 10ms);
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
    EXPECT_EQ(r.http.count("/functions/v1/"), 1000u);
    // Delivered alerts give their places back.
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    EXPECT_EQ(r.http.count("/functions/v1/"), 1001u);
}

// {"email":"a@b.co"} as a token's claims, and the refresh token the answer rotates to.
const std::string rotating = R"({"access_token":"h.eyJlbWFpbCI6ImFAYi5jbyJ9.s","refresh_token":"P1"})";

// Learning an account spends its token: the pairing keeps the one it was rotated to, also
// when that answer comes after the wait, and the previous pairing's access token goes.
TEST(AlertReporter, PairingKeepsTheTokenTheLookupRotatedTo) {
    // no: answered in time; otherwise held past the wait, then answered (rotating) after or
    // before the pairing, or for a pairing that was refused.
    enum class Late { no, afterPairing, beforePairing, refused };
    const struct {
        std::optional<HttpResponse> lookup;
        Late late;
        std::optional<std::string> email;
        const char* kept;
    } cases[] = {
        {answer(200, rotating), Late::no, "a@b.co", "P1"},
        {answer(400, rotating), Late::no, "a@b.co", "P0"},  // the e-mail whatever the status; no token from a refusal
        {answer(200, "not json"), Late::no, std::nullopt, "P0"},
        {std::nullopt, Late::afterPairing, std::nullopt, "P1"},
        {std::nullopt, Late::beforePairing, std::nullopt, "P1"},
        {std::nullopt, Late::refused, std::nullopt, "R0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        Reporting r;
        r.reporter->reportBlock("adult", r.queue.wallNow());
        r.queue.run();
        r.tokenAnswer = c.lookup;
        auto lookup = r.reporter->emailForRefreshToken("P0");
        EXPECT_EQ(lookup.email, c.email);
        EXPECT_EQ(r.http.requests().back().body, R"({"refresh_token":"P0"})");
        EXPECT_EQ(Files::readAll(r.tokenFile), "R0\n") << "stored before the pairing was decided";
        if (c.late == Late::no || c.late == Late::afterPairing) {
            ASSERT_TRUE(r.reporter->pair(lookup));
        }
        if (c.late != Late::no) r.http.answerHeld(answer(200, rotating));
        if (c.late == Late::beforePairing) {
            ASSERT_TRUE(r.reporter->pair(lookup));
        }
        r.queue.run();
        EXPECT_EQ(Files::readAll(r.tokenFile), c.kept);
        if (c.late == Late::refused) continue;
        r.tokenAnswer = answer(200, R"({"access_token":"A2"})");
        r.reporter->reportBlock("adult", r.queue.wallNow());
        r.queue.run();
        EXPECT_EQ(r.bodies("/auth/v1/token").back(), json({{"refresh_token", c.kept}}));
        EXPECT_EQ(r.http.requests().back().headers.back(), "Authorization: Bearer A2");
    }
}

// Alerts already under way go out with the token they had; nothing after the sign-out
// leaves the machine, even with a token file put back by hand, until the next pairing.
TEST(AlertReporter, SigningOutStopsReportingUntilTheNextPairing) {
    auto sink = test::CaptureSink::install();
    Reporting r;
    r.ingest = {500, 201};
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    r.reporter->signOut();
    EXPECT_FALSE(Files::readAll(r.tokenFile));
    r.dir.write("token", "R5");
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.reporter->reportMonitoringEvent("FILTER_BYPASSED", json::object());
    r.queue.advance(1s);
    EXPECT_EQ(r.http.count("/functions/v1/"), 2u);
    EXPECT_EQ(r.http.requests().back().headers.back(), "Authorization: Bearer A1");
    EXPECT_EQ(r.http.count("/auth/v1/token") + r.http.count("/rpc/"), 1u);
    Log::flush();
    EXPECT_TRUE(sink->waitFor("alerts: signed out — reporting stopped", 0ms));
    EXPECT_FALSE(sink->waitFor("alert skipped", 0ms));

    ASSERT_TRUE(r.reporter->pair({"P0", std::nullopt, std::nullopt, nullptr}));
    r.reporter->reportBlock("adult", r.queue.wallNow());
    r.queue.run();
    EXPECT_EQ(r.http.count("/functions/v1/"), 3u);
}

TEST(AlertReporter, DecodesTheEmailClaimOfAToken) {
    // {"email":"a@b.co"} in base64url, without padding; and one with "-" and "_" in it.
    const std::string claims = "eyJlbWFpbCI6ImFAYi5jbyJ9";
    const struct {
        std::string jwt;
        std::optional<std::string> email;
    } cases[] = {
        {"h." + claims + ".s", "a@b.co"},
        {"h.." + claims + ".s", "a@b.co"},  // empty pieces are dropped before counting
        {"h." + claims, std::nullopt},
        {"h." + claims + ".s.x", std::nullopt},
        {"h.eyJlbWFpbCI6In5-fj4-Pj8_P0B4LmlvIn0.s", "~~~>>>\?\?\?@x.io"},  // "-" and "_"
        {"h.eyJlbWFpbCI6ImE_Yj5jQHguaW8ifQ.s", "a\?b>c@x.io"},           // two "=" to add
        {"h.bm90IGpzb24.s", std::nullopt},           // "not json"
        {"h.eyJlbWFpbCI6NX0.s", std::nullopt},       // {"email":5}
        {"h.!!!.s", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(AlertReporter::decodeJWTEmail(c.jwt), c.email) << c.jwt;
}

}  // namespace
}  // namespace vesk
