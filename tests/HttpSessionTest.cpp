#include "VeskPlatform/HttpSession.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "VeskPlatform/Files.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::HttpServer;
using Reply = HttpServer::Reply;

// Completions as they come, from the session's thread.
struct Answers {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<HttpResponse> got;

    HttpSession::Completion collect() {
        return [this](HttpResponse response) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(response));
            arrived.notify_all();
        };
    }
    // Those so far, once there are n of them (or after 20 s).
    std::vector<HttpResponse> wait(size_t n = 0) {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 20s, [&] { return got.size() >= n; });
        return got;
    }
};

TEST(HttpSession, SendsTheRequestAsGivenAndEndsEveryFailureOnceWithMinusOne) {
    HttpServer server([](const HttpServer::Request& request) {
        if (request.target == "/hang") return Reply{Reply::Kind::hang, 0, "", 0ms};
        if (request.target == "/cut") return Reply{Reply::Kind::cutMidway, 200, "{\"partial\":", 0ms};
        if (request.target == "/missing") return Reply{Reply::Kind::respond, 404, "", 0ms};
        if (request.target == "/big") return Reply{Reply::Kind::respond, 200, "{\"ok\":true} ", 0ms};
        return Reply{Reply::Kind::respond, request.method == "POST" ? 201 : 200, "{\"ok\":true}", 0ms};
    });
    Answers answers;
    // Answers of up to 11 bytes, as {"ok":true} is.
    HttpSession session({.idle = 1s, .largestBody = 11});
    session.start({"POST", server.url("/ingest"), {"apikey: k", "Content-Type: application/json"}, "{\"a\":1}"},
                  answers.collect());
    answers.wait(1);
    session.start({"GET", server.url("/missing"), {}, ""}, answers.collect());
    answers.wait(2);
    for (const char* target : {"/hang", "/cut", "/big"}) {
        session.start({"GET", server.url(target), {}, ""}, answers.collect());
    }
    session.start({"GET", "ftp://127.0.0.1/", {}, ""}, answers.collect());
    auto got = answers.wait(6);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(std::tie(got[0].status, got[0].body, got[1].status), std::tuple(201, "{\"ok\":true}", 404));
    for (size_t i = 2; i < got.size(); ++i) {
        EXPECT_EQ(std::pair(got[i].status, got[i].error.empty()), std::pair(-1L, false)) << i;
    }
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(std::tie(seen[0].method, seen[0].target, seen[0].body), std::tuple("POST", "/ingest", "{\"a\":1}"));
    EXPECT_EQ(seen[0].headers["apikey"], "k");
    session.shutdown();  // its thread has done all it will
    EXPECT_EQ(answers.wait().size(), 6u);
}

TEST(HttpSession, StartsOnlySoManyRequestsAtOnce) {
    HttpServer server([](const HttpServer::Request&) { return Reply{Reply::Kind::hang, 0, "", 0ms}; });
    Answers answers;
    HttpSession session({.connectionsPerHost = 8, .inFlight = 2});
    for (int i = 0; i < 5; ++i) session.start({"GET", server.url("/held"), {}, ""}, answers.collect());
    ASSERT_TRUE(test::waitUntil([&] { return server.requests().size() == 2; }));
    // Shutting down ends the two in flight and the three that never started, once each;
    // after it, a request ends at once.
    session.shutdown();
    EXPECT_EQ(answers.wait().size(), 5u);
    EXPECT_EQ(server.requests().size(), 2u);
    session.start({"GET", server.url("/held"), {}, ""}, answers.collect());
    EXPECT_EQ(answers.wait().size(), 6u);

    // A waiting request starts as soon as a place comes free, not at the next activity.
    HttpServer quick([](const HttpServer::Request&) { return Reply{Reply::Kind::respond, 200, "", 0ms}; });
    HttpSession oneAtATime({.inFlight = 1});
    Answers done;
    for (int i = 0; i < 60; ++i) oneAtATime.start({"GET", quick.url("/"), {}, ""}, done.collect());
    EXPECT_EQ(done.wait(60).size(), 60u);
}

// A list is written to a file as it comes, with the header lines that make the next
// request conditional; it is refused when too large, through a link, or redirected to
// anything but https.
TEST(HttpSession, WritesAnAnswerToAFileAndFollowsRedirectsToHttpsOnly) {
    const std::string list(300, 'x');
    const std::vector<std::string> headers = {"Content-Length: 300", "Content-Type: application/json", "ETag: \"v1\"",
                                              "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT"};
    HttpServer server([&](const HttpServer::Request& request) {
        if (request.target == "/moved") return Reply{Reply::Kind::respond, 302, "", 0ms, {"Location: /list"}};
        return Reply{Reply::Kind::respond, 200, list, 0ms, {headers.begin() + 2, headers.end()}};  // the validators
    });
    test::TempDir dir;
    std::filesystem::create_symlink(dir.path() + "/a", dir.path() + "/link");
    HttpSession session({.largestBody = 300, .followRedirects = true}), small({.largestBody = 299});
    Answers answers;
    const std::pair<HttpSession*, const char*> cases[] = {
        {&session, "/list a"}, {&session, "/moved b"}, {&small, "/list c"}, {&session, "/list link"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string call = cases[i].second;
        HttpRequest get{"GET", server.url(call.substr(0, call.find(' '))), {}, ""};
        cases[i].first->startToFile(get, dir.path() + "/" + call.substr(call.find(' ') + 1), answers.collect());
        answers.wait(i + 1);
    }
    auto got = answers.wait(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(std::tie(got[0].status, got[0].body, got[0].headers), std::tuple(200, "", headers));
    EXPECT_EQ(Files::readAll(dir.path() + "/a"), list);  // not emptied through the link either
    for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i].status, -1) << i;
    EXPECT_EQ(server.requests().size(), 3u);  // the redirect to plain http is not followed
}

// A TLS server whose certificate no system store vouches for: the request must fail.
TEST(HttpSession, RefusesAServerItCannotVerify) {
    test::TempDir dir;
    std::string cert = dir.path() + "/cert.pem", key = dir.path() + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout " + key +
                       " -out " + cert + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "openssl is not installed";
    std::string accept = std::to_string(test::Socket(SOCK_STREAM).port());  // free again at once
    const char* argv[] = {"openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert", cert.c_str(),
                          "-key", key.c_str(), "-www", nullptr};
    pid_t server;
    ASSERT_EQ(posix_spawnp(&server, "openssl", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    HttpSession session;
    Answers answers;
    // Asked again while the server is not listening yet.
    std::vector<HttpResponse> got;
    EXPECT_TRUE(test::waitUntil([&] {
        session.start({"GET", "https://localhost:" + accept + "/", {}, ""}, answers.collect());
        got = answers.wait(got.size() + 1);
        return got.back().status != -1 || got.back().error.find("certificate") != std::string::npos;
    }, 20s));
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    EXPECT_EQ(got.back().status, -1);
    EXPECT_NE(got.back().error.find("certificate"), std::string::npos) << got.back().error;
}

}  // namespace
}  // namespace vesk
