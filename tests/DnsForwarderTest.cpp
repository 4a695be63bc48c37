#include "VeskDNSCore/DnsForwarder.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "tests/DnsTestUtil.hpp"
#include "tests/FakeUpstream.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;
using test::Reply;

DnsForwarder::Upstream at(const FakeUpstream& fake) {
    return *DnsForwarder::upstream("127.0.0.1", fake.port());
}

struct Outcome {
    int calls = 0;
    std::optional<Bytes> answer;
    std::chrono::duration<double> after{};
};

// Runs one resolve on a fresh loop until the completion came and the deadline passed.
Outcome resolveOnce(std::vector<DnsForwarder::Upstream> upstreams, const Bytes& query,
                    std::chrono::duration<double> timeout = 0.3s,
                    DnsForwarder::Transport transport = DnsForwarder::Transport::udp) {
    asio::io_context loop;
    DnsForwarder forwarder(loop, std::move(upstreams), timeout);
    Outcome outcome;
    auto start = std::chrono::steady_clock::now();
    forwarder.resolve(query, [&](std::optional<Bytes> answer) {
        ++outcome.calls;
        outcome.answer = std::move(answer);
        outcome.after = std::chrono::steady_clock::now() - start;
    }, transport);
    loop.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(timeout) + 200ms);
    return outcome;
}

Bytes withId(Bytes answer, uint8_t first) {
    answer[0] = first;
    return answer;
}

TEST(DnsForwarder, FirstValidAnswerWinsOnce) {
    const Bytes query = test::query(0xAB01, "example.org", 1, /*withOpt=*/true);
    auto answer = [](uint8_t last) {
        return [last](const Bytes& q) { return FakeUpstream::addressAnswer(q, last); };
    };
    FakeUpstream slow(FakeUpstream::answering(answer(1), 150ms));
    FakeUpstream fast(FakeUpstream::answering(answer(2), 20ms));
    FakeUpstream wrongId(FakeUpstream::answering([](const Bytes& q) {
        return withId(FakeUpstream::addressAnswer(q, 3), 0x00);
    }));
    FakeUpstream shortReply(FakeUpstream::answering([](const Bytes& q) { return Bytes(q.begin(), q.begin() + 11); }));

    auto sink = Log::capture();
    Outcome outcome = resolveOnce({at(slow), at(fast), at(wrongId), at(shortReply)}, query);
    EXPECT_EQ(outcome.calls, 1);  // not again when the slow answer or the deadline comes
    ASSERT_TRUE(outcome.answer);
    EXPECT_EQ(*outcome.answer, FakeUpstream::addressAnswer(query, 2));
    for (const auto* fake : {&slow, &fast, &wrongId, &shortReply}) {
        EXPECT_EQ(fake->queries(), std::vector<Bytes>{query});  // byte for byte, once each
    }
    Log::flush();
    for (const char* line : {"forwarder.start txid=ab01 upstreams=4 bytes=", "forwarder.txid_mismatch txid=ab01",
                             "forwarder.recv_short txid=ab01", "forwarder.recv_ok txid=ab01",
                             "forwarder.win txid=ab01 elapsed=0.0"}) {
        EXPECT_TRUE(sink->waitFor(line, 1s)) << line;
    }
}

TEST(DnsForwarder, LosersAndSilenceEndAtTheDeadline) {
    const Bytes query = test::query(0x1234, "example.org");
    FakeUpstream silent(FakeUpstream::silent());
    FakeUpstream wrongId(FakeUpstream::answering([](const Bytes& q) {
        return withId(FakeUpstream::addressAnswer(q), 0x99);
    }));
    struct Case {
        const char* what;
        std::vector<DnsForwarder::Upstream> upstreams;
    };
    const Case cases[] = {
        {"silence", {at(silent)}},
        {"wrong id only", {at(wrongId), at(silent)}},
        {"no upstreams", {}},
        {"refused", {*DnsForwarder::upstream("127.0.0.1", 9)}},  // nothing listens on discard
    };
    auto sink = Log::capture();
    for (const auto& c : cases) {
        Outcome outcome = resolveOnce(c.upstreams, query);
        EXPECT_EQ(outcome.calls, 1) << c.what;
        EXPECT_FALSE(outcome.answer) << c.what;
        EXPECT_GE(outcome.after, 0.3s) << c.what;  // never before the deadline
        EXPECT_LT(outcome.after, 0.45s) << c.what;
    }
    EXPECT_TRUE(sink->waitFor("forwarder.timeout txid=1234 elapsed=0.3", 1s));
}

TEST(DnsForwarder, OverTcpTheFirstValidFramedAnswerWins) {
    const Bytes query = test::query(0x4242, "large.example", 16);
    Bytes big = FakeUpstream::addressAnswer(query, 5);
    big.resize(big.size() + 3000, 0x61);  // more than a datagram of the classic size
    auto overTcpOnly = [](Bytes reply, std::chrono::milliseconds delay) {
        return FakeUpstream::TransportScript([=](const Bytes&, bool overTcp) {
            return overTcp ? Reply{reply, delay} : Reply{};
        });
    };
    FakeUpstream wrongId(overTcpOnly(withId(big, 0x00), 0ms));
    FakeUpstream good(overTcpOnly(big, 30ms));
    FakeUpstream slower(overTcpOnly(FakeUpstream::addressAnswer(query, 6), 150ms));
    Outcome outcome = resolveOnce({at(wrongId), at(good), at(slower)}, query, 0.3s,
                                  DnsForwarder::Transport::tcp);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.answer, big);
    for (const auto* fake : {&wrongId, &good, &slower}) {
        EXPECT_EQ(fake->tcpQueries(), std::vector<Bytes>{query});
        EXPECT_TRUE(fake->queries().empty());
    }
}

TEST(DnsForwarder, ShortQueriesAreLabelledAndAcceptAnyId) {
    FakeUpstream echo(FakeUpstream::answering([](const Bytes&) { return Bytes(12, 0x77); }));
    auto sink = Log::capture();
    Outcome outcome = resolveOnce({at(echo)}, Bytes{0x05});
    ASSERT_TRUE(outcome.answer);
    EXPECT_EQ(*outcome.answer, Bytes(12, 0x77));
    EXPECT_TRUE(sink->waitFor("forwarder.start txid=?? upstreams=1 bytes=1", 1s));
}

TEST(DnsForwarder, ManyCallsInFlightEachCompleteOnce) {
    FakeUpstream fake(FakeUpstream::answering(
        [](const Bytes& q) { return q[1] % 2 ? FakeUpstream::addressAnswer(q) : Bytes(); }));
    asio::io_context loop;
    DnsForwarder forwarder(loop, {at(fake)}, 0.3s);
    std::vector<int> completions(200, 0);
    int answered = 0;
    for (uint16_t i = 0; i < 200; ++i) {
        forwarder.resolve(test::query(i, "n" + std::to_string(i) + ".test"),
                          [&, i](std::optional<Bytes> answer) {
                              ++completions[i];
                              if (answer) {
                                  EXPECT_EQ((*answer)[1], i & 0xFF);
                                  ++answered;
                              }
                          });
    }
    loop.run_for(700ms);
    EXPECT_EQ(completions, std::vector<int>(200, 1));
    EXPECT_EQ(answered, 100);  // the odd IDs; the even ones got a reply too short to count
}

}  // namespace
}  // namespace vesk
