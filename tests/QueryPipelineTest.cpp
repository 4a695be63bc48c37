#include "VeskDNSCore/QueryPipeline.hpp"

#include <gtest/gtest.h>

#include <cctype>

#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/FakeUpstream.hpp"
#include "tests/support/Loop.hpp"
#include "tests/support/Socket.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;

const auto blockedAt = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));

struct Recorder final : AnswerChannel {
    void deliver(DnsMessage::View answer, const Client&) override {
        answers.emplace_back(answer.begin(), answer.end());
    }
    std::vector<Bytes> answers;
};

struct Notices final : BlockSubscriber {
    void blocked(std::string_view category, const DomainName& name,
                 std::chrono::system_clock::time_point at) override {
        seen.push_back(std::string(category) + " " + name.text());
        EXPECT_EQ(at, blockedAt);
    }
    std::vector<std::string> seen;
};

// A pipeline over a forwarder whose deadlines run on a clock the test moves.
struct Piped {
    Piped(const Blocklist& list, const FakeUpstream& upstream)
        : forwarder(loop, {*DnsForwarder::upstream("127.0.0.1", upstream.port())}, 2s, clock.timer()),
          pipeline(list, forwarder, {&notices}, &canary, [] { return blockedAt; }) {}

    void ask(const Bytes& query, bool overTcp = false) {
        Client client;
        client.channel = recorder;
        client.overTcp = overTcp;
        pipeline.handle(query, std::move(client));
    }
    bool waitForAnswers(size_t count) {
        return test::runUntil(loop, [&] { return recorder->answers.size() >= count; });
    }

    asio::io_context loop;
    test::ManualClock clock{loop};
    DnsForwarder forwarder;
    Notices notices;
    Canary canary;
    QueryPipeline pipeline;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST(QueryPipeline, OnlyBlocklistHitsAreNoticedWithTheirTime) {
    Blocklist list(std::vector<std::string>{"adult.example", "dns.google"});
    FakeUpstream silent(FakeUpstream::silent());
    Piped piped(list, silent);
    for (const char* name : {"dns.google", "mask.icloud.com", "WWW.adult.example", "_dns.resolver.arpa"}) {
        piped.ask(test::query(1, name));
    }
    EXPECT_EQ(piped.recorder->answers.size(), 4u);  // all answered at once, none forwarded
    EXPECT_EQ(piped.notices.seen, std::vector<std::string>{"adult www.adult.example"});
    EXPECT_TRUE(silent.queries().empty());
}

// Only the armed canary name, in whatever case it is asked, is refused and marked come,
// and it is no block; an earlier armed name and names that only look like it are
// forwarded like any other.
TEST(QueryPipeline, OnlyTheArmedCanaryNameIsRefusedAndCounts) {
    Blocklist list(std::vector<std::string>{});
    FakeUpstream silent(FakeUpstream::silent());
    Piped piped(list, silent);
    std::string earlier = piped.canary.arm();
    std::string armed = piped.canary.arm();
    std::string elsewhere = armed.substr(0, 17) + (armed.ends_with("com") ? "net" : "com");
    auto now = std::chrono::steady_clock::now();
    for (std::string name : {earlier, "x" + armed, "0." + armed, elsewhere}) piped.ask(test::query(1, name));
    EXPECT_FALSE(piped.canary.waitUntil(now));
    std::string upper = armed;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    piped.ask(test::query(2, upper));
    EXPECT_TRUE(piped.canary.waitUntil(now));
    ASSERT_EQ(piped.recorder->answers.size(), 1u);
    EXPECT_EQ(piped.recorder->answers[0], *DnsMessage::nxdomainResponse(test::query(2, upper)));
    EXPECT_TRUE(piped.notices.seen.empty());
    piped.clock.advance(2s);  // the forwarded ones fail, so nothing is left pending
    EXPECT_TRUE(piped.waitForAnswers(5));
}

TEST(QueryPipeline, ForwardedQueriesGetTheAnswerOrServfailAtTheDeadline) {
    Blocklist list(std::vector<std::string>{});
    FakeUpstream oddIdsOnly(FakeUpstream::answering(
        [](const Bytes& q) { return q[1] % 2 ? FakeUpstream::addressAnswer(q, 9) : Bytes(); }));
    Piped piped(list, oddIdsOnly);
    Bytes answered = test::query(1, "answered.test"), unanswered = test::query(2, "late.test", 1, true);
    Bytes tiny = {0x71, 0x03, 0x01, 0x00, 0x00};
    for (const auto& q : {unanswered, tiny, answered}) piped.ask(q);
    ASSERT_TRUE(piped.waitForAnswers(1));
    EXPECT_TRUE(test::waitUntil([&] { return oddIdsOnly.replies() == 3; }));
    test::runUntil(piped.loop, [] { return false; }, 20ms);
    EXPECT_EQ(piped.recorder->answers, std::vector<Bytes>{FakeUpstream::addressAnswer(answered, 9)});
    piped.clock.advance(2s);
    ASSERT_TRUE(piped.waitForAnswers(2));
    test::runUntil(piped.loop, [] { return false; }, 20ms);
    // SERVFAIL for the one that has a header; nothing ever for the 5-byte datagram.
    EXPECT_EQ(piped.recorder->answers, (std::vector<Bytes>{FakeUpstream::addressAnswer(answered, 9),
                                                          *DnsMessage::servfailResponse(unanswered)}));
}

// An answer for the query with `count` A records.
Bytes addresses(const Bytes& query, int count) {
    Bytes answer = FakeUpstream::addressAnswer(query, 0);
    Bytes record(answer.end() - 16, answer.end());
    for (int i = 1; i < count; ++i) answer.insert(answer.end(), record.begin(), record.end());
    answer[7] = static_cast<uint8_t>(count);
    return answer;
}

TEST(QueryPipeline, SafeSearchAnswersCarryTheTargetsAddressesWhereTheyFit) {
    Blocklist list(std::vector<std::string>{});
    const struct {
        int addresses;
        bool overTcp;
        uint8_t records;  // in our answer: the CNAME and the addresses, or the CNAME alone
    } cases[] = {{1, false, 2}, {40, false, 1}, {40, true, 41}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.addresses) + (c.overTcp ? " over TCP" : " over UDP"));
        FakeUpstream upstream(FakeUpstream::answering([&](const Bytes& q) { return addresses(q, c.addresses); }));
        Piped piped(list, upstream);
        piped.ask(test::query(7, "www.google.com"), c.overTcp);
        ASSERT_TRUE(piped.waitForAnswers(1));
        const Bytes& answer = piped.recorder->answers[0];
        EXPECT_EQ(answer[7], c.records);
        EXPECT_LE(answer.size(), c.overTcp ? 65535u : 512u);
    }
}

}  // namespace
}  // namespace vesk
