#include "VeskDNSCore/DnsForwarder.hpp"

#include <gtest/gtest.h>

#include <set>

#include "tests/support/CaptureSink.hpp"
#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/FakeUpstream.hpp"
#include "tests/support/Loop.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;
using test::Reply;
using Transport = DnsForwarder::Transport;

constexpr auto timeout = 2s;

// Replies that must never win: another ID, or shorter than a header.
const auto otherId = FakeUpstream::answering([](const Bytes& q) {
    Bytes answer = FakeUpstream::addressAnswer(q, 3);
    answer[0] ^= 0xFF;
    return answer;
});
const auto tooShort = FakeUpstream::answering([](const Bytes& q) { return Bytes(q.begin(), q.begin() + 11); });

// A forwarder on a loop of the test's own, its deadlines on a clock the test moves; it
// counts the completions and keeps their answers.
struct Forwarding {
    explicit Forwarding(const std::vector<const FakeUpstream*>& fakes, uint16_t refusedPort = 0)
        : Forwarding(std::in_place, upstreams(fakes, refusedPort)) {}
    Forwarding(std::in_place_t, std::vector<DnsForwarder::Upstream> list)
        : forwarder(loop, std::move(list), timeout, clock.timer(), readiness) {}

    // Each test runs with the sockets in the private ready set and watched by the loop.
    static inline DnsForwarder::Readiness readiness = DnsForwarder::Readiness::privateSet;

    static std::vector<DnsForwarder::Upstream> upstreams(const std::vector<const FakeUpstream*>& fakes,
                                                         uint16_t refusedPort) {
        std::vector<DnsForwarder::Upstream> out;
        for (const auto* fake : fakes) out.push_back(*DnsForwarder::upstream("127.0.0.1", fake->port()));
        if (refusedPort != 0) out.push_back(*DnsForwarder::upstream("127.0.0.1", refusedPort));
        return out;
    }
    void resolve(const Bytes& query, DnsForwarder::Transport transport = DnsForwarder::Transport::udp) {
        forwarder.resolve(query, [this](std::optional<Bytes> answer) { answers.push_back(std::move(answer)); },
                          transport);
    }
    void settle() { test::runUntil(loop, [] { return false; }, 30ms); }

    asio::io_context loop;
    test::ManualClock clock{loop};
    DnsForwarder forwarder;
    std::vector<std::optional<Bytes>> answers;
};

class Forwarder : public testing::TestWithParam<DnsForwarder::Readiness> {
protected:
    void SetUp() override { Forwarding::readiness = GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(, Forwarder,
                         testing::Values(DnsForwarder::Readiness::privateSet, DnsForwarder::Readiness::loop));

TEST_P(Forwarder, TheFirstValidAnswerWinsAndNothingFollowsIt) {
    const Bytes query = test::query(0xAB01, "example.org", 1, /*withOpt=*/true);
    FakeUpstream fast(FakeUpstream::address(2)), silent(FakeUpstream::silent()), wrong(otherId), cut(tooShort);
    auto sink = test::CaptureSink::install();
    Forwarding f({&silent, &wrong, &cut, &fast});
    f.resolve(query);
    ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
    f.clock.advance(timeout);  // the deadline passes too
    f.settle();
    EXPECT_EQ(f.answers, std::vector<std::optional<Bytes>>{FakeUpstream::addressAnswer(query, 2)});
    for (const auto* fake : {&silent, &fast, &wrong, &cut}) {
        EXPECT_EQ(fake->queries(), std::vector<Bytes>{query});  // byte for byte, once each
    }
    EXPECT_TRUE(sink->waitFor("forwarder.start txid=ab01 upstreams=4 bytes=40"));
    EXPECT_TRUE(sink->waitFor("forwarder.win txid=ab01 elapsed=0.000s"));  // the clock stood still

    // A query too short to carry an ID takes any reply of a header's length.
    FakeUpstream echo(FakeUpstream::answering([](const Bytes&) { return Bytes(12, 0x77); }));
    Forwarding tiny({&echo});
    tiny.resolve(Bytes{0x05});
    ASSERT_TRUE(test::runUntil(tiny.loop, [&] { return !tiny.answers.empty(); }));
    EXPECT_EQ(tiny.answers[0], Bytes(12, 0x77));
    EXPECT_TRUE(sink->waitFor("forwarder.start txid=?? upstreams=1 bytes=1"));
}

TEST_P(Forwarder, NoAnswerBeforeTheDeadlineAndNoneAtIt) {
    const Bytes query = test::query(0x1234, "example.org");
    FakeUpstream silent(FakeUpstream::silent()), wrong(otherId), cut(tooShort);
    const struct {
        std::vector<const FakeUpstream*> upstreams;
        uint16_t refusedPort;  // nothing listens on the discard port
        const char* seen;      // what the forwarder logs of the losers before the deadline
    } cases[] = {
        {{&silent}, 0, "forwarder.start txid=1234"},
        {{&wrong, &silent}, 0, "forwarder.txid_mismatch txid=1234"},
        {{&cut}, 0, "forwarder.recv_short txid=1234"},
        {{}, 0, "forwarder.start txid=1234 upstreams=0"},
        {{}, 9, "forwarder.recv_failed txid=1234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seen);
        auto sink = test::CaptureSink::install();
        Forwarding f(c.upstreams, c.refusedPort);
        f.resolve(query);
        test::runUntil(f.loop, [&] { return sink->waitFor(c.seen, 0ms); });
        f.clock.advance(timeout - 1ns);
        f.settle();
        EXPECT_TRUE(f.answers.empty()) << "answered before the deadline";
        f.clock.advance(1ns);
        ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
        EXPECT_EQ(f.answers, std::vector<std::optional<Bytes>>{std::nullopt});
        EXPECT_TRUE(sink->waitFor("forwarder.timeout txid=1234 elapsed=2.000s"));
    }
}

TEST_P(Forwarder, OnlyTheUpstreamsOwnReplyToTheQuestionCounts) {
    const Bytes query = test::query(0x5150, "www.Example.org");
    auto answerTo = [](Bytes asked) { return FakeUpstream::addressAnswer(asked, 7); };
    const struct {
        const char* what;
        Transport transport;
        Reply reply;         // the first reply the call gets
        const char* logged;  // a prefix of the line it is logged with
        bool wins;
    } cases[] = {
        {"from another port", Transport::udp, {answerTo(query), {}, Reply::From::otherPort},
         "forwarder.foreign_reply txid=5150 from=127.0.0.1:", false},
        {"from another address", Transport::udp, {answerTo(query), {}, Reply::From::otherAddress},
         "forwarder.foreign_reply txid=5150 from=127.0.0.2:", false},
        {"to another name", Transport::udp, {answerTo(test::query(0x5150, "www.example.net"))},
         "forwarder.question_mismatch txid=5150 upstream=127.0.0.1:", false},
        {"over TCP, to another type", Transport::tcp, {answerTo(test::query(0x5150, "www.example.org", 16))},
         "forwarder.question_mismatch txid=5150 upstream=127.0.0.1:", false},
        {"in other letter case", Transport::udp, {answerTo(test::query(0x5150, "WWW.EXAMPLE.ORG"))},
         "forwarder.recv_ok txid=5150", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto sink = test::CaptureSink::install();
        FakeUpstream first([&](const Bytes&, bool) { return c.reply; });
        // The second upstream answers only once the first reply is on its way.
        FakeUpstream second(FakeUpstream::answering([&](const Bytes& q) {
            test::waitUntil([&] { return first.replies() == 1; });
            return FakeUpstream::addressAnswer(q, 2);
        }));
        Forwarding f({&first, &second});
        f.resolve(query, c.transport);
        ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
        EXPECT_EQ(f.answers[0], c.wins ? *c.reply.bytes : FakeUpstream::addressAnswer(query, 2));
        EXPECT_TRUE(sink->waitFor(c.logged));
    }
}

TEST_P(Forwarder, AnUpstreamThatCannotBeSentToLeavesTheOthersInTheRace) {
    FakeUpstream first(FakeUpstream::address(1, 50ms)), last(FakeUpstream::address(2, 50ms));
    auto sink = test::CaptureSink::install();
    // A broadcast address refuses a socket that has not asked for broadcasts.
    Forwarding f(std::in_place, {*DnsForwarder::upstream("127.0.0.1", first.port()), *DnsForwarder::upstream("255.255.255.255", 53),
                                 *DnsForwarder::upstream("127.0.0.1", last.port())});
    const Bytes query = test::query(0x0707, "example.org");
    f.resolve(query);
    ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
    EXPECT_TRUE(sink->waitFor("forwarder.send_failed txid=0707 upstream=255.255.255.255 err="));
    EXPECT_TRUE(test::waitUntil([&] { return first.queries().size() == 1 && last.queries().size() == 1; }));
}

TEST_P(Forwarder, EachQueryLeavesFromAFreshPort) {
    FakeUpstream fake(FakeUpstream::address(1));
    Forwarding f({&fake});
    for (uint16_t i = 0; i < 64; ++i) {
        f.resolve(test::query(i, "fresh.example"));
        ASSERT_TRUE(test::runUntil(f.loop, [&] { return f.answers.size() == i + 1u; }));
    }
    auto ports = fake.sourcePorts();
    EXPECT_GE(std::set<uint16_t>(ports.begin(), ports.end()).size(), 60u);
}

TEST_P(Forwarder, AnAnswerAndTheDeadlineInOneTurnCompleteOnce) {
    const Bytes query = test::query(0x2222, "example.org");
    FakeUpstream fast(FakeUpstream::address(4)), silent(FakeUpstream::silent());
    Forwarding f({&fast, &silent});
    f.resolve(query);  // sent at once, before the loop runs
    ASSERT_TRUE(test::waitUntil([&] { return fast.replies() == 1; }));
    f.clock.advance(timeout);
    f.settle();
    // Sockets are served before timers: the answer wins, and the deadline finds it decided.
    EXPECT_EQ(f.answers, std::vector<std::optional<Bytes>>{FakeUpstream::addressAnswer(query, 4)});
}

TEST_P(Forwarder, OverTcpTheFirstValidFramedAnswerWins) {
    const Bytes query = test::query(0x4242, "large.example", 16);
    Bytes big = FakeUpstream::addressAnswer(query, 5);
    big.resize(big.size() + 3000, 0x61);  // more than a datagram of the classic size
    Bytes otherIdBig = big;
    otherIdBig[0] = 0;
    FakeUpstream wrong([&](const Bytes&, bool overTcp) { return overTcp ? test::Reply{otherIdBig} : test::Reply{}; });
    // The good answer is sent only once the one with the wrong ID is on its way.
    FakeUpstream good([&](const Bytes&, bool overTcp) {
        test::waitUntil([&] { return wrong.replies() == 1; });
        return overTcp ? test::Reply{big} : test::Reply{};
    });
    Forwarding f({&wrong, &good});
    f.resolve(query, DnsForwarder::Transport::tcp);
    ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
    EXPECT_EQ(f.answers, std::vector<std::optional<Bytes>>{big});
    for (const auto* fake : {&wrong, &good}) {
        EXPECT_EQ(fake->tcpQueries(), std::vector<Bytes>{query});
        EXPECT_TRUE(fake->queries().empty());
    }
}

TEST_P(Forwarder, ManyCallsInFlightEachCompleteOnce) {
    // The odd IDs are answered; the even ones get a reply too short to count.
    FakeUpstream fake(FakeUpstream::answering(
        [](const Bytes& q) { return q[1] % 2 ? FakeUpstream::addressAnswer(q) : Bytes(); }));
    Forwarding f({&fake});
    std::vector<int> completions(200, 0);
    int answered = 0;
    for (uint16_t i = 0; i < 200; ++i) {
        f.forwarder.resolve(test::query(i, "n" + std::to_string(i) + ".test"),
                            [&, i](std::optional<Bytes> answer) {
                                ++completions[i];
                                answered += answer && (*answer)[1] == i % 256;
                            });
    }
    ASSERT_TRUE(test::runUntil(f.loop, [&] { return answered == 100; }));
    f.clock.advance(timeout);
    f.settle();
    EXPECT_EQ(completions, std::vector<int>(200, 1));
}

}  // namespace
}  // namespace vesk
