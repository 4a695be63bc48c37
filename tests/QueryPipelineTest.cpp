#include "VeskDNSCore/QueryPipeline.hpp"

#include <gtest/gtest.h>

#include <cctype>

#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskDNSCore/QueryPolicy.hpp"
#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/FakeUpstream.hpp"
#include "tests/support/Loop.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;
using test::query;
using Kind = Decision::Kind;

TEST(QueryPolicy, DecidesInItsFixedOrder) {
    const Blocklist list(std::vector<std::string>{"dns.google", "google.com", "adult.example", "resolver.arpa"});
    const QueryPolicy policy(list);
    Bytes noClass = query(1, "bing.com");  // safe search without a class to answer: forwarded
    noClass.resize(noClass.size() - 2);
    const struct {
        Bytes query;
        Kind kind;
        const char* name;
        std::string_view target = {};
    } cases[] = {
        {query(1, "dns.google"), Kind::dohBypass, "dns.google"},  // ahead of the list
        {query(1, "_dns.resolver.arpa", 64), Kind::resolverDiscovery, "_dns.resolver.arpa"},
        {query(1, "www.google.com"), Kind::blocked, "www.google.com"},  // ahead of safe search
        {query(1, "WWW.Bing.com"), Kind::safeSearch, "www.bing.com", "strict.bing.com"},
        {noClass, Kind::forward, "bing.com"},
        {{0x71, 0x03, 0x01, 0x00, 0x00}, Kind::unreadable, "(none)"},  // forwarded as it is
    };
    for (const auto& c : cases) {
        Decision decision = policy.decide(c.query);
        EXPECT_EQ(decision.kind, c.kind) << c.name;
        EXPECT_EQ(decision.question ? decision.name().text() : "(none)", c.name);
        EXPECT_EQ(decision.safeSearchTarget, c.target) << c.name;
    }
}

TEST(BlockEventLog, KeepsTheMostRecentInArrivalOrder) {
    auto event = [](int seconds) {
        return BlockEventLog::Event{"adult", BlockEventLog::Clock::time_point(std::chrono::seconds(seconds))};
    };
    BlockEventLog log(3);
    for (int t : {5, 5, 1, 9, 7}) log.blocked("adult", DomainName("x.example"), event(t).at);
    EXPECT_EQ(log.recent(2), std::vector({event(9), event(7)}));
    EXPECT_EQ(log.recent(10), std::vector({event(1), event(9), event(7)}));
}

const auto blockedAt = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));

struct Recorder final : AnswerChannel {
    void deliver(DnsMessage::View answer, const Client&) override {
        answers.emplace_back(answer.begin(), answer.end());
    }
    std::vector<Bytes> answers;
};

struct Notices final : BlockSubscriber {
    void blocked(std::string_view category, const DomainName& name, std::chrono::system_clock::time_point at) override {
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

// Refusals by name are answered at once, and only blocklist hits are noticed. Only the
// armed canary name, in whatever case it is asked, is refused and marked come; an earlier
// armed name and names that only look like it are forwarded like any other.
TEST(QueryPipeline, RefusesByNameAndNoticesOnlyBlocklistHits) {
    Blocklist list(std::vector<std::string>{"adult.example", "dns.google"});
    FakeUpstream silent(FakeUpstream::silent());
    Piped piped(list, silent);
    auto now = std::chrono::steady_clock::now();
    std::string earlier = piped.canary.arm();
    piped.ask(query(1, earlier));
    std::string armed = piped.canary.arm();
    std::string elsewhere = armed.substr(0, 17) + (armed.ends_with("com") ? "net" : "com");
    for (std::string name : {earlier, "x" + armed, "0." + armed, elsewhere}) piped.ask(query(1, name));
    EXPECT_FALSE(piped.canary.waitUntil(now));
    std::string upper = armed;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    piped.ask(query(2, upper));
    EXPECT_TRUE(piped.canary.waitUntil(now));
    for (const char* name : {"dns.google", "mask.icloud.com", "WWW.adult.example", "_dns.resolver.arpa"}) {
        piped.ask(query(3, name));
    }
    ASSERT_EQ(piped.recorder->answers.size(), 6u);
    EXPECT_EQ(piped.recorder->answers[1], *DnsMessage::nxdomainResponse(query(2, upper)));
    EXPECT_EQ(piped.notices.seen, std::vector<std::string>{"adult www.adult.example"});
    piped.clock.advance(2s);  // the forwarded ones fail, so nothing is left pending
    EXPECT_TRUE(piped.waitForAnswers(10));
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
        FakeUpstream upstream(FakeUpstream::answering([&](const Bytes& q) { return addresses(q, c.addresses); }));
        Piped piped(list, upstream);
        piped.ask(query(7, "www.google.com"), c.overTcp);
        ASSERT_TRUE(piped.waitForAnswers(1));
        const Bytes& answer = piped.recorder->answers[0];
        EXPECT_EQ(answer[7], c.records) << c.addresses << (c.overTcp ? " over TCP" : " over UDP");
        EXPECT_LE(answer.size(), c.overTcp ? 65535u : 512u);
    }
}

}  // namespace
}  // namespace vesk
