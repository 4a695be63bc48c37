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
using Answers = std::vector<std::optional<Bytes>>;

constexpr auto timeout = 2s;

DnsForwarder::Upstream at(const FakeUpstream& fake) { return *DnsForwarder::upstream("127.0.0.1", fake.port()); }

// A forwarder on a loop of the test's own, its deadlines on a clock the test moves; it
// keeps the answers its calls complete with.
struct Forwarding {
    explicit Forwarding(std::vector<DnsForwarder::Upstream> list)
        : forwarder(loop, std::move(list), timeout, clock.timer(), readiness) {}
    void resolve(const Bytes& query, Transport transport = Transport::udp) {
        forwarder.resolve(query, [this](std::optional<Bytes> answer) { answers.push_back(std::move(answer)); },
                          transport);
    }
    bool answered() { return test::runUntil(loop, [&] { return !answers.empty(); }); }
    void settle() { test::runUntil(loop, [] { return false; }, 30ms); }

    static inline DnsForwarder::Readiness readiness;  // each test runs with both
    asio::io_context loop;
    test::ManualClock clock{loop};
    DnsForwarder forwarder;
    Answers answers;
};

class Forwarder : public testing::TestWithParam<DnsForwarder::Readiness> {
protected:
    void SetUp() override { Forwarding::readiness = GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(, Forwarder,
                         testing::Values(DnsForwarder::Readiness::privateSet, DnsForwarder::Readiness::loop));

TEST_P(Forwarder, NoAnswerBeforeTheDeadlineAndNoneAtIt) {
    const Bytes query = test::query(0x1234, "example.org");
    // Replies that must never win: another ID (in its second byte), or shorter than a header.
    const Bytes otherId = FakeUpstream::addressAnswer(test::query(0x12CB, "example.org"), 3);
    FakeUpstream silent(FakeUpstream::silent()), cut(FakeUpstream::answering([](const Bytes&) { return Bytes(11); })),
        wrong([&](const Bytes&, bool) { return Reply{otherId}; });
    // What the forwarder logs of the losers before the deadline; nothing listens on the
    // discard port.
    const std::pair<std::vector<DnsForwarder::Upstream>, const char*> cases[] = {
        {{at(wrong), at(silent)}, "forwarder.txid_mismatch txid=1234"},
        {{at(cut)}, "forwarder.recv_short txid=1234"},
        {{*DnsForwarder::upstream("127.0.0.1", 9)}, "forwarder.recv_failed txid=1234"},
    };
    for (const auto& c : cases) {
        const char* seen = c.second;
        SCOPED_TRACE(seen);
        auto sink = test::CaptureSink::install();
        Forwarding f(c.first);
        f.resolve(query);
        test::runUntil(f.loop, [&] { return sink->waitFor(seen, 0ms); });
        f.clock.advance(timeout - 1ns);
        f.settle();
        EXPECT_TRUE(f.answers.empty()) << "answered before the deadline";
        f.clock.advance(1ns);
        ASSERT_TRUE(f.answered());
        EXPECT_EQ(f.answers, Answers{std::nullopt});
    }
}

TEST_P(Forwarder, OnlyTheUpstreamsOwnReplyToTheQuestionCounts) {
    const Bytes query = test::query(0x5150, "www.Example.org");
    auto answerTo = [](Bytes asked) { return FakeUpstream::addressAnswer(asked, 7); };
    auto big = [](const Bytes& asked) {
        Bytes answer = FakeUpstream::addressAnswer(asked, 2);
        answer.resize(answer.size() + 3000, 0x61);
        return answer;
    };
    const struct {
        const char* what;
        Transport transport;
        Reply reply;  // the first reply the call gets
        bool wins;
    } cases[] = {
        {"from another port", Transport::udp, {answerTo(query), {}, Reply::From::otherPort}, false},
        {"from another address", Transport::udp, {answerTo(query), {}, Reply::From::otherAddress}, false},
        {"to another name", Transport::udp, {answerTo(test::query(0x5150, "www.example.net"))}, false},
        {"over TCP, to another type", Transport::tcp, {answerTo(test::query(0x5150, "www.example.org", 16))}, false},
        {"in other letter case", Transport::udp, {answerTo(test::query(0x5150, "WWW.EXAMPLE.ORG"))}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeUpstream first([&](const Bytes&, bool) { return c.reply; });
        // The second upstream answers only once the first reply is on its way, with more
        // than a datagram of the classic size.
        FakeUpstream second(FakeUpstream::answering([&](const Bytes& q) {
            test::waitUntil([&] { return first.replies() == 1; });
            return big(q);
        }));
        Forwarding f({at(first), at(second)});
        f.resolve(query, c.transport);
        ASSERT_TRUE(f.answered());
        EXPECT_EQ(f.answers[0], c.wins ? *c.reply.bytes : big(query));
    }
}

TEST_P(Forwarder, EachCallCompletesOnceFromAFreshPort) {
    // IDs below 64 are answered; the others get a reply too short to count.
    FakeUpstream fake(FakeUpstream::answering(
        [](const Bytes& q) { return q[1] < 64 ? FakeUpstream::addressAnswer(q) : Bytes(); }));
    // A broadcast address refuses a socket that has not asked for broadcasts: the
    // upstreams after it still get the query.
    Forwarding f({*DnsForwarder::upstream("255.255.255.255", 53), at(fake)});
    std::vector<int> completions(200, 0);
    int answered = 0;
    for (uint16_t i = 0; i < 200; ++i) {
        f.forwarder.resolve(test::query(i, "n" + std::to_string(i) + ".test"), [&, i](std::optional<Bytes> answer) {
            ++completions[i];
            answered += answer && (*answer)[1] == i;
        });
        // The first calls go one after another, each taking the place the one before left.
        if (i < 64) {
            ASSERT_TRUE(test::runUntil(f.loop, [&] { return answered == i + 1; }));
        }
    }
    f.clock.advance(timeout);
    f.settle();
    EXPECT_EQ(completions, std::vector<int>(200, 1));
    auto ports = fake.sourcePorts();
    EXPECT_GE(std::set<uint16_t>(ports.begin(), ports.end()).size(), 190u);
}

}  // namespace
}  // namespace vesk
