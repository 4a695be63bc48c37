#include "VeskControl/ControlServer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "tests/support/ControlClient.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

using namespace std::chrono_literals;

struct QuietHost final : FilterHost {
    FilterView view() override { return {}; }
    void enable() override {}
    bool disable() override { return true; }
    void restartBrowsers() override {}
    bool safariPrivacyProxyActive(vesk::Clock::Wall::time_point) override { return false; }
    void uninstall(const std::function<void()>&) override {}
};

// A server on a free port with a short read deadline, so that closing an idle connection
// is seen without waiting ten seconds, room for 100 connections, and descriptors to spare
// for 9 of them at a time (a tenth of 20 kept, half the rest taken).
class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }

    TempDir dir;
    FakeClock clock;
    PinStore pin{dir.path() + "/pin.hash", 5, 300.0, clock};
    QuietHost host;
    BlockEventLog blockLog{200};
    ControlRoutes routes{{pin, dir.path() + "/auth.token", host, nullptr, &blockLog, clock}};
    BlockingPool pool{"test.control"};
    std::atomic<int> counts = 0;
    ControlServer server{routes, pool, 0,
                         {.deadline = 300ms, .mostConnections = 100, .descriptors = [this] {
                              ++counts;
                              return std::optional(DescriptorUse{0, 20});
                          }}};
};

// Each sent in two parts, the first line and the rest: a request is answered once it has
// all arrived, and only the first on a connection; what never becomes one is closed
// unanswered; malformed framing is answered 400.
TEST_F(ControlServerTest, AnswersTheFirstWholeRequestAndRefusesMalformedOnes) {
    const std::string badRequest = ControlHttp::json(400, {{"error", "bad_request"}});
    for (auto [sent, answer] : std::vector<std::pair<std::string, std::string>>{
             {controlRequest("POST", "/enable", "{}") + "GET /status HTTP/1.1\r\n\r\n", ControlHttp::json(200, {{"enabled", true}})},
             {"POST /pair HTTP/1.1\r\nContent-Length: 100\r\n\r\n{}", ""},
             {"GET /status HTTP/1.1\r\nHost: x\n", badRequest}}) {
        TcpClient client(server.port());
        size_t cut = sent.find('\n') + 1;
        client.write(sent.substr(0, cut));
        client.write(sent.substr(cut));
        EXPECT_EQ(client.readToEnd(10s), answer) << sent;
    }
}

// A tenth of the limit stays free; half of the rest may be taken before counting again.
TEST(ConnectionCap, DescriptorBudgetKeepsTheReserve) {
    for (auto [open, limit, budget] : std::vector<std::array<size_t, 3>>{
             {0, 4096, 1844}, {3686, 4096, 1}, {3687, 4096, 0}, {5000, 4096, 0}, {0, 256, 116}, {10, SIZE_MAX, SIZE_MAX}}) {
        EXPECT_EQ(descriptorBudget(open, limit), budget) << open << " of " << limit;
    }
}

TEST(ConnectionCap, ANewConnectionTakesTheOldestIdleOnesPlaceOrIsRefused) {
    ConnectionCap<int> cap(3);
    for (int connection : {1, 2, 3}) cap.admit(connection);
    cap.busy(1);
    EXPECT_EQ(cap.admit(4).evicted, 2);  // 1 is busy
    cap.busy(3);
    cap.busy(4);
    EXPECT_FALSE(cap.admit(5).admitted);
    cap.remove(1);
    auto admitted = cap.admit(5);
    EXPECT_TRUE(admitted.admitted && !admitted.evicted && cap.size() == 3);
}

// Idle ones are closed once their deadline passes, or at once to make room past the cap
// (200 here for 100 places), and the rest all together when the server stops. Descriptors
// are counted again each time the last count's budget is spent.
TEST_F(ControlServerTest, IdleConnectionsDoNotHoldUpOthers) {
    ControlServer patient(routes, pool, 0, {.mostConnections = 100});
    patient.start();
    for (auto* each : {&server, &patient}) {
        std::vector<std::unique_ptr<TcpClient>> idle;
        for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TcpClient>(each->port()));
        EXPECT_EQ(controlCall(each->port(), "GET", "/status").status, 200);
        if (each == &patient) patient.stop();
        for (auto& client : idle) ASSERT_TRUE(client->readToEnd(5s));
    }
    EXPECT_GE(counts.load(), 201 / 9);
}

// More than a socket's initial buffers take, so that it goes out as the peer reads.
TEST_F(ControlServerTest, WritesALargeAnswerWhole) {
    for (int i = 0; i < 50; ++i) blockLog.record(std::string(40'000, 'x'), BlockEventLog::Clock::now());
    auto answer = controlCall(server.port(), "GET", "/events");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["events"].size(), 50u);
}

}  // namespace
}  // namespace vesk::test
