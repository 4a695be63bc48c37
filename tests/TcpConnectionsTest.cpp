#include "VeskDNSCore/TcpConnections.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "VeskDNSCore/TcpFraming.hpp"
#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/Loop.hpp"
#include "tests/support/Socket.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Bytes = DnsMessage::Bytes;
using test::TcpClient;

// Answers each query with its own bytes, but throws for ID 1.
struct EchoOrThrow final : QueryHandler {
    void handle(DnsMessage::View query, Client client) override {
        if (query[1] == 1) throw std::runtime_error("this query fails");
        if (auto channel = client.channel.lock()) channel->deliver(query, client);
    }
};

// A connection set on 127.0.0.1; the test runs its loop while it waits.
struct Served {
    explicit Served(TcpConnectionSet::Limits limits)
        : set(std::make_shared<TcpConnectionSet>(loop, handler, limits)) {
        EXPECT_FALSE(set->start("127.0.0.1", 0));
    }
    std::optional<Bytes> answer(TcpClient& client) {
        std::optional<Bytes> out;
        test::runUntil(loop, [&] { return (out = client.receive(0ms)).has_value(); });
        return out;
    }
    bool closes(const TcpClient& client) {
        return test::runUntil(loop, [&] { return client.closedWithin(0ms); });
    }

    asio::io_context loop;
    EchoOrThrow handler;
    std::shared_ptr<TcpConnectionSet> set;
};

TcpConnectionSet::Limits capped(size_t connections) {
    TcpConnectionSet::Limits limits;
    limits.maxConnections = connections;
    return limits;
}

TEST(TcpConnections, TheLongestIdleConnectionGivesWayAtTheCap) {
    Served served(capped(2));
    Bytes q = test::query(2, "a.example");
    TcpClient first(served.set->boundPort()), second(served.set->boundPort());
    // A message too short for a header gets no answer; then second is the more recently
    // active connection.
    second.write(*framed(Bytes{1, 2, 3}));
    second.write(*framed(q));
    ASSERT_EQ(served.answer(second), q);
    TcpClient third(served.set->boundPort());
    EXPECT_TRUE(served.closes(first));
    third.write(*framed(q));
    EXPECT_EQ(served.answer(third), q);
}

TEST(TcpConnections, AQueryThatFailsDoesNotLeaveItsConnectionBusy) {
    Served served(capped(1));
    TcpClient failing(served.set->boundPort());
    failing.write(*framed(test::query(1, "fails.example")));
    test::runUntil(served.loop, [] { return false; }, 50ms);
    // Idle again, so it gives way to a newcomer rather than having the newcomer refused.
    TcpClient next(served.set->boundPort());
    EXPECT_TRUE(served.closes(failing));
    next.write(*framed(test::query(2, "next.example")));
    EXPECT_EQ(served.answer(next), test::query(2, "next.example"));
}

TEST(TcpConnections, QuietAndUnfinishedConnectionsAreClosedInTime) {
    TcpConnectionSet::Limits quick = capped(4), trickle;
    quick.idleTimeout = quick.messageDeadline = trickle.messageDeadline = 300ms;
    trickle.idleTimeout = 60s;  // bytes keep coming: only the message deadline can close it
    const struct {
        const char* what;
        TcpConnectionSet::Limits limits;
        Bytes bytes;  // written one at a time, 50 ms apart
    } cases[] = {
        {"idle", quick, {}},
        {"a message left unfinished", quick, {0, 40, 1, 2}},
        {"a message trickling in", trickle, *framed(Bytes(100, 0x44))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Served served(c.limits);
        TcpClient client(served.set->boundPort());
        auto start = test::Clock::now();
        bool closed = false;
        for (size_t i = 0; i < c.bytes.size() && !closed; ++i) {
            client.write({c.bytes[i]});
            closed = test::runUntil(served.loop, [&] { return client.closedWithin(0ms); }, 50ms);
        }
        EXPECT_TRUE(closed || served.closes(client));
        EXPECT_GE(test::Clock::now() - start, 300ms);  // never before its time
        EXPECT_EQ(served.set->connectionCount(), 0u);
    }
    // A peer that goes away mid-message leaves nothing behind.
    Served served(quick);
    TcpClient(served.set->boundPort()).write({0, 40, 1, 2});
    test::runUntil(served.loop, [] { return false; }, 100ms);
    EXPECT_EQ(served.set->connectionCount(), 0u);
}

}  // namespace
}  // namespace vesk
