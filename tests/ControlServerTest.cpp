#include "VeskControl/ControlServer.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>

#include "tests/support/ControlClient.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

struct QuietHost final : FilterHost {
    FilterView view() override { return {true, {}}; }
    void enable() override {}
    bool disable() override { return true; }
    void restartBrowsers() override {}
    bool safariPrivacyProxyActive(vesk::Clock::Wall::time_point) override { return false; }
    void uninstall(const std::function<void()>&) override {}
};

// A server on a free port with a short read deadline, so that closing an idle connection
// is seen without waiting ten seconds.
class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ControlServer::Limits limits;
        limits.deadline = 300ms;
        server = std::make_unique<ControlServer>(routes, pool, 0, limits);
        server->start();
    }
    void TearDown() override { server->stop(); }

    TempDir dir;
    FakeClock clock;
    PinStore pin{dir.path() + "/pin.hash", 5, 300.0, clock};
    QuietHost host;
    BlockEventLog blockLog{200};
    ControlRoutes routes{{pin, dir.path() + "/auth.token", host, nullptr, &blockLog, clock}};
    BlockingPool pool{"test.control"};
    std::unique_ptr<ControlServer> server;
};

TEST_F(ControlServerTest, AnswersOnceTheWholeRequestHasArrivedThenCloses) {
    TcpClient client(server->port());
    std::string request = controlRequest("POST", "/enable", "{}") + "GET /status HTTP/1.1\r\n\r\n";
    size_t head = request.find("\r\n\r\n") + 4;
    client.write(request.substr(0, head));
    client.write(request.substr(head));
    auto response = client.readToEnd(10s);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->starts_with("HTTP/1.1 200 OK\r\n")) << *response;
    EXPECT_EQ(answerOf(response).body, json({{"enabled", true}}));  // the second request is ignored
}

TEST_F(ControlServerTest, ClosesUnansweredWhatNeverBecomesARequest) {
    for (std::string partial : {std::string("GET\r\n\r\n"), controlRequest("POST", "/enable", "{}").substr(0, 40),
                                std::string("POST /pair HTTP/1.1\r\nContent-Length: 100\r\n\r\n{}")}) {
        TcpClient client(server->port());
        client.write(partial);
        auto response = client.readToEnd(10s);
        ASSERT_TRUE(response) << partial;
        EXPECT_EQ(*response, "") << partial;
    }
}

// Idle ones are closed once their deadline passes, and all at once when the server stops.
TEST_F(ControlServerTest, IdleConnectionsDoNotHoldUpOthers) {
    ControlServer patient(routes, pool, 0);
    patient.start();
    for (auto* each : {server.get(), &patient}) {
        std::vector<std::unique_ptr<TcpClient>> idle;
        for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TcpClient>(each->port()));
        EXPECT_EQ(controlCall(each->port(), "GET", "/status").status, 200);
        if (each == &patient) patient.stop();
        for (auto& client : idle) ASSERT_TRUE(client->readToEnd(5s));
    }
}

TEST_F(ControlServerTest, WritesALargeAnswerWholeToASlowReader) {
    auto start = BlockEventLog::Clock::now();
    for (int i = 0; i < 50; ++i) blockLog.record(std::string(4000, 'x'), start);
    TcpClient client(server->port());
    int small = 4096;
    ::setsockopt(client.descriptor(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    client.write(controlRequest("GET", "/events"));
    auto answer = answerOf(client.readToEnd(10s));
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["events"].size(), 50u);
}

TEST_F(ControlServerTest, APortInUseFailsToStartWithTheCallAndErrno) {
    ControlServer second(routes, pool, server->port());
    try {
        second.start();
        FAIL() << "started on a port in use";
    } catch (const ServerError& error) {
        EXPECT_EQ(error.caseText(), "bindFailed(" + std::to_string(EADDRINUSE) + ")");
    }
}

}  // namespace
}  // namespace vesk::test
