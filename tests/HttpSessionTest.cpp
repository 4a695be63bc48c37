#include "VeskPlatform/HttpSession.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <mutex>

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
    std::vector<HttpResponse> got;

    HttpSession::Completion collect() {
        return [this](HttpResponse response) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(response));
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return got.size();
    }
    std::vector<HttpResponse> wait(size_t n) {
        EXPECT_TRUE(test::waitUntil([&] { return count() >= n; }, 20s));
        std::lock_guard lock(mutex);
        return got;
    }
};

TEST(HttpSession, DeliversStatusAndBodyAndSendsTheRequestAsGiven) {
    HttpServer server([](const HttpServer::Request& request) {
        if (request.target == "/missing") return Reply{Reply::Kind::respond, 404, "", 0ms};
        return Reply{Reply::Kind::respond, request.method == "POST" ? 201 : 200, "{\"ok\":true}", 0ms};
    });
    HttpSession session;
    Answers answers;
    session.start({"POST", server.url("/ingest"), {"apikey: k", "Content-Type: application/json"}, "{\"a\":1}"},
                  answers.collect());
    auto got = answers.wait(1);
    session.start({"GET", server.url("/missing"), {}, ""}, answers.collect());
    got = answers.wait(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].status, 201);
    EXPECT_EQ(got[0].body, "{\"ok\":true}");
    EXPECT_EQ(got[1].status, 404);
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/ingest");
    EXPECT_EQ(seen[0].headers["apikey"], "k");
    EXPECT_EQ(seen[0].body, "{\"a\":1}");
    EXPECT_EQ(seen[0].headers.count("cookie"), 0u);
}

TEST(HttpSession, EveryFailureCompletesOnceWithMinusOne) {
    HttpServer server([](const HttpServer::Request& request) {
        if (request.target == "/hang") return Reply{Reply::Kind::hang, 0, "", 0ms};
        return Reply{Reply::Kind::cutMidway, 200, "{\"partial\":", 0ms};
    });
    uint16_t closedPort;  // a port nothing listens on
    {
        HttpServer gone([](const HttpServer::Request&) { return Reply{}; });
        closedPort = gone.port();
    }
    HttpSession::Limits limits;
    limits.idle = 1s;
    auto session = std::make_unique<HttpSession>(limits);
    Answers answers;
    session->start({"GET", server.url("/hang"), {}, ""}, answers.collect());
    session->start({"GET", server.url("/cut"), {}, ""}, answers.collect());
    session->start({"GET", "http://127.0.0.1:" + std::to_string(closedPort) + "/", {}, ""}, answers.collect());
    session->start({"GET", "ftp://127.0.0.1/", {}, ""}, answers.collect());
    auto got = answers.wait(4);
    ASSERT_EQ(got.size(), 4u);
    for (const auto& response : got) {
        EXPECT_EQ(response.status, -1);
        EXPECT_FALSE(response.error.empty());
    }
    // Shutting down ends what is in flight, once; after it, a request ends at once.
    session->start({"GET", server.url("/hang"), {}, ""}, answers.collect());
    ASSERT_TRUE(test::waitUntil([&] { return server.requests().size() == 3; }));
    session->shutdown();
    EXPECT_EQ(answers.count(), 5u);
    session->start({"GET", server.url("/"), {}, ""}, answers.collect());
    got = answers.wait(6);
    EXPECT_EQ(got.size(), 6u);
    EXPECT_EQ(got.back().error, "session shut down");
    session.reset();
    EXPECT_EQ(answers.count(), 6u);
}

TEST(HttpSession, StartsOnlySoManyRequestsAtOnce) {
    HttpServer server([](const HttpServer::Request&) { return Reply{Reply::Kind::hang, 0, "", 0ms}; });
    HttpSession::Limits limits;
    limits.inFlight = 2;
    limits.connectionsPerHost = 8;
    HttpSession session(limits);
    Answers answers;
    for (int i = 0; i < 5; ++i) session.start({"GET", server.url("/held"), {}, ""}, answers.collect());
    ASSERT_TRUE(test::waitUntil([&] { return server.requests().size() == 2; }));
    session.shutdown();  // the three that never started end too, once each
    EXPECT_EQ(answers.count(), 5u);
    EXPECT_EQ(server.requests().size(), 2u);

    // A waiting request starts as soon as a place comes free, not at the next activity.
    HttpServer quick([](const HttpServer::Request&) { return Reply{Reply::Kind::respond, 200, "", 0ms}; });
    limits.inFlight = 1;
    HttpSession oneAtATime(limits);
    Answers done;
    for (int i = 0; i < 60; ++i) oneAtATime.start({"GET", quick.url("/"), {}, ""}, done.collect());
    EXPECT_EQ(done.wait(60).size(), 60u);
}

// A TLS server whose certificate no system store vouches for: the request must fail.
TEST(HttpSession, RefusesAServerItCannotVerify) {
    test::TempDir dir;
    std::string cert = dir.path() + "/cert.pem", key = dir.path() + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 -keyout " + key +
                       " -out " + cert + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "openssl is not installed";
    uint16_t port;
    {
        HttpServer placeholder([](const HttpServer::Request&) { return Reply{}; });
        port = placeholder.port();
    }
    std::string accept = std::to_string(port);
    const char* argv[] = {"openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert", cert.c_str(),
                          "-key", key.c_str(), "-www", nullptr};
    pid_t server;
    ASSERT_EQ(posix_spawnp(&server, "openssl", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    ASSERT_TRUE(test::waitUntil([&] {
        try {
            test::TcpClient probe(port);
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }));
    HttpSession session;
    Answers answers;
    session.start({"GET", "https://localhost:" + accept + "/", {}, ""}, answers.collect());
    auto got = answers.wait(1);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, -1);
    EXPECT_NE(got[0].error.find("certificate"), std::string::npos) << got[0].error;
}

}  // namespace
}  // namespace vesk
