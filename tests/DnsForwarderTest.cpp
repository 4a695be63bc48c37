#include "VeskDNSCore/QueryPipeline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/FakeUpstream.hpp"
#include "tests/support/Loop.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;
using test::query;
using test::Reply;
using Transport = DnsForwarder::Transport;
using Kind = Decision::Kind;

constexpr auto timeout = 2s;

DnsForwarder::Upstream at(const FakeUpstream& fake) { return *DnsForwarder::upstream("127.0.0.1", fake.port()); }

// An answer for the query with `count` address records of the type it asks (A unless AAAA).
Bytes addresses(const Bytes& query, int count) {
    Bytes answer = FakeUpstream::addressAnswer(query, 0);
    Bytes record(answer.end() - 16, answer.end());
    answer.resize(answer.size() - 16);
    if (query[query.size() - 3] == DnsMessage::typeAAAA) {  // 2001:db8::1
        record = {0xC0, 0x0C, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16, 0x20, 1, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    }
    for (int i = 0; i < count; ++i) answer.insert(answer.end(), record.begin(), record.end());
    answer[7] = static_cast<uint8_t>(count);
    return answer;
}

// A forwarder on a loop of the test's own, its deadlines on a clock the test moves; it
// keeps the answers its calls complete with.
struct Forwarding {
    explicit Forwarding(std::vector<DnsForwarder::Upstream> list)
        : forwarder(loop, std::move(list), timeout, clock.timer(), readiness) {}
    void settle() { test::runUntil(loop, [] { return false; }, 30ms); }

    static inline DnsForwarder::Readiness readiness;  // each test runs with both
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

TEST_P(Forwarder, OnlyTheUpstreamsOwnReplyToTheQuestionCounts) {
    const Bytes query = test::query(0x5150, "www.Example.org", 1, true);  // its OPT record is no part of the question
    auto answerTo = [](Bytes asked) { return FakeUpstream::addressAnswer(asked, 7); };
    const struct {
        const char* what;
        Transport transport;
        Reply reply;  // the first reply the call gets
        bool wins;
    } cases[] = {
        {"another ID in its second byte", Transport::udp, {answerTo(test::query(0x51AF, "www.Example.org"))}, false},
        {"shorter than a header", Transport::udp, {Bytes(11)}, false},
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
            return addresses(q, 200);
        }));
        // Nothing listens on the discard port: that upstream's failure does not end the call.
        Forwarding f({at(first), *DnsForwarder::upstream("127.0.0.1", 9), at(second)});
        f.forwarder.resolve(query, [&](std::optional<Bytes> answer) { f.answers.push_back(std::move(answer)); },
                            c.transport);
        ASSERT_TRUE(test::runUntil(f.loop, [&] { return !f.answers.empty(); }));
        EXPECT_EQ(f.answers[0], c.wins ? *c.reply.bytes : addresses(query, 200));
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
    // The others have their answer at the deadline, and no sooner: none.
    f.clock.advance(timeout - 1ns);
    f.settle();
    EXPECT_EQ(std::ranges::count(completions, 1), 64);
    f.clock.advance(1ns);
    f.settle();
    EXPECT_EQ(completions, std::vector<int>(200, 1));
    EXPECT_EQ(answered, 64);
    auto ports = fake.sourcePorts();
    EXPECT_GE(std::set<uint16_t>(ports.begin(), ports.end()).size(), 190u);
}

// The bypass hosts and the safe-search names, each behind or ahead of the blocklist.
TEST(QueryPolicy, DecidesInItsFixedOrder) {
    const Blocklist list(std::vector<std::string>{"dns.google", "google.de", "adult.example", "resolver.arpa"});
    const QueryPolicy policy(list);
    Bytes noClass = query(1, "bing.com");  // safe search without a class to answer: forwarded
    noClass.resize(noClass.size() - 2);
    const Kind relay = Kind::privateRelayBypass, forward = Kind::forward, safe = Kind::safeSearch;
    const struct {
        Bytes query;
        Kind kind;
        std::string_view target = {};
    } cases[] = {
        {query(1, "DNS.Google"), Kind::dohBypass},  // ahead of the list
        {query(1, "quad9.net"), forward},           // an entry does not cover its parent
        {query(1, "MASK-H2.icloud.com"), relay},    {query(1, "x.mask.icloud.com"), relay},
        {query(1, "mask42.icloud.com"), relay},     {query(1, "maskerade.example.com"), forward},
        {query(1, "a.doh.dns.apple.com"), relay},   {query(1, "xdoh.dns.apple.com"), forward},  // whole labels only
        {query(1, "doh.dns.apple.com.v.aaplimg.com"), relay},
        {query(1, "_dns.resolver.arpa", 64), Kind::resolverDiscovery},
        {query(1, "www.google.de"), Kind::blocked},  // ahead of safe search
        {query(1, "WWW.Google.CO.UK"), safe, "forcesafesearch.google.com"},
        {query(1, "google.co.uk.ac"), forward},     {query(1, "images.google.com"), forward},  // listed ones only
        {query(1, "www.m.youtube.com"), safe, "restrictmoderate.youtube.com"},
        {query(1, "www.www.youtube.com"), forward}, {query(1, "www.duckduckgo.com"), safe, "safe.duckduckgo.com"},
        {query(1, "WWW.Bing.com"), safe, "strict.bing.com"}, {query(1, "strict.bing.com"), forward},  // a target stays
        {noClass, forward},                         {{0x71, 0x03, 0x01, 0x00, 0x00}, Kind::unreadable},  // sent as is
    };
    for (const auto& c : cases) {
        Decision decision = policy.decide(c.query);
        std::string name = decision.question ? decision.name().text() : "(none)";
        EXPECT_EQ(decision.kind, c.kind) << name;
        EXPECT_EQ(decision.safeSearchTarget, c.target) << name;
    }
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
struct Piped : Forwarding {
    Piped(std::vector<std::string> names, const FakeUpstream& upstream)
        : Forwarding({at(upstream)}),
          pipeline(list, router, {&notices}, &canary, [] { return blockedAt; },
                   [this](std::shared_ptr<const Blocklist> old) { retired.push_back(std::move(old)); }) {
        list.publish(std::make_shared<Blocklist>(names));
    }

    void ask(const Bytes& query, bool overTcp = false) { pipeline.handle(query, {recorder, {}, 0u, {}, overTcp}); }
    bool waitForAnswers(size_t count) {
        return test::runUntil(loop, [&] { return recorder->answers.size() >= count; });
    }

    Notices notices;
    Canary canary;
    LiveBlocklist list{std::make_shared<Blocklist>(std::vector<std::string>{})};
    std::vector<std::shared_ptr<const Blocklist>> retired;
    ForwardRouter router{{forwarder, forwarder, [] { return ForwardRouter::Clock::now(); }, [] { return blockedAt; }}};
    QueryPipeline pipeline;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

// Refusals by name are answered at once, and only blocklist hits are noticed. Only the
// armed canary name, in whatever case it is asked, is refused and marked come; an earlier
// armed name and names that only look like it are forwarded like any other.
TEST(QueryPipeline, RefusesByNameAndNoticesOnlyBlocklistHits) {
    FakeUpstream silent(FakeUpstream::silent());
    Piped piped({"adult.example", "dns.google"}, silent);
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
    for (const char* name : {"dns.google", "WWW.adult.example", "_dns.resolver.arpa"}) piped.ask(query(3, name));
    ASSERT_EQ(piped.recorder->answers.size(), 5u);
    EXPECT_EQ(piped.recorder->answers[1], *DnsMessage::nxdomainResponse(query(2, upper)));
    EXPECT_EQ(piped.notices.seen, std::vector<std::string>{"adult www.adult.example"});
    // A list published meanwhile decides the next query; the one it replaced is let go.
    ASSERT_EQ(piped.retired.size(), 1u);
    piped.list.publish(std::make_shared<Blocklist>(std::vector<std::string>{"other.example"}));
    for (const char* name : {"adult.example", "other.example"}) piped.ask(query(4, name));
    EXPECT_EQ(piped.notices.seen, (std::vector<std::string>{"adult www.adult.example", "adult other.example"}));
    ASSERT_EQ(piped.retired.size(), 2u);
    EXPECT_EQ(piped.retired[1]->count(), 2u);
    piped.clock.advance(2s);  // the forwarded ones fail, so nothing is left pending
    EXPECT_TRUE(piped.waitForAnswers(11));
}

TEST(QueryPipeline, SafeSearchAnswersCarryTheTargetsAddressesWhereTheyFit) {
    const struct {
        int addresses;
        bool overTcp;
        uint8_t records;  // in our answer: the CNAME and the addresses, or the CNAME alone
        uint16_t type;
    } cases[] = {{1, false, 2, 1}, {1, false, 2, DnsMessage::typeAAAA}, {40, false, 1, 1}, {40, true, 41, 1}};
    for (const auto& c : cases) {
        FakeUpstream upstream(FakeUpstream::answering([&](const Bytes& q) { return addresses(q, c.addresses); }));
        Piped piped({}, upstream);
        piped.ask(query(7, "www.google.com", c.type), c.overTcp);
        ASSERT_TRUE(piped.waitForAnswers(1));
        const Bytes& answer = piped.recorder->answers[0];
        EXPECT_EQ(answer[7], c.records) << c.addresses << " of type " << c.type << (c.overTcp ? " over TCP" : "");
        EXPECT_LE(answer.size(), c.overTcp ? 65535u : 512u);
    }
}

// Holds each query until the test completes it, answered or not.
struct Held final : QueryForwarder {
    void resolve(Bytes query, Completion completion, Transport) override {
        calls.emplace_back(std::move(query), std::move(completion));
    }
    void watchOutcomes(Outcome watcher) override { outcome = std::move(watcher); }
    void complete(bool answered) {
        auto [query, completion] = std::move(calls.front());
        calls.erase(calls.begin());
        if (outcome) outcome(answered);
        completion(answered ? std::optional<Bytes>(query) : std::nullopt);
    }
    std::vector<std::pair<Bytes, Completion>> calls;
    Outcome outcome;
};

TEST(ForwardRouter, PrivateNamesAreTheNetworksOwn) {
    const std::pair<const char*, bool> names[] = {
        {"nas.lan", true},           {"lan", true},
        {"printer.home.arpa", true}, {"x.internal", true},
        {"router.localdomain", true}, {"box.corp.example", true},  // the search domain
        {"20.1.168.192.in-addr.arpa", true}, {"9.9.16.172.in-addr.arpa", true},
        {"9.9.31.172.in-addr.arpa", true},   {"9.9.32.172.in-addr.arpa", false},
        {"4.3.2.10.in-addr.arpa", true},     {"4.3.2.11.in-addr.arpa", false},
        {"11.in-addr.arpa", false},          {"1.0.0.127.in-addr.arpa", false},
        {"1.9.254.169.in-addr.arpa", true},  {"1.0.d.f.ip6.arpa", true},
        {"1.0.b.e.f.ip6.arpa", true},        {"1.0.c.e.f.ip6.arpa", false},
        {"lan.example.com", false},          {"plan", false},
        {"corp.example.net", false},         {"internal.example", false},
    };
    for (auto [name, isPrivate] : names) {
        EXPECT_EQ(ForwardRouter::isPrivate(DomainName(name), {"corp.example"}), isPrivate) << name;
    }
}

// Three public timeouts in a row, and not two, send every query to the network's resolvers
// while one is known; a probe every 5 s races the public ones, and their answer ends it.
TEST(ForwardRouter, FallsBackToTheNetworkWhileThePublicUpstreamsAreSilent) {
    Held publicUpstreams, network;
    ForwardRouter::Clock::time_point now{};
    int relearned = 0;
    ForwardRouter router({publicUpstreams, network, [&] { return now; }, [] { return blockedAt; }, [&] { ++relearned; }});
    std::vector<bool> answers;
    auto ask = [&](const char* name) {
        DomainName asked(name);
        router.resolve(query(1, name), &asked, [&](std::optional<Bytes> answer) { answers.push_back(answer.has_value()); });
    };
    auto timeouts = [&](int count) {
        for (int i = 0; i < count; ++i) ask("public.example"), publicUpstreams.complete(false);
    };
    ask("nas.lan");  // nothing known of the network: public like the rest
    timeouts(3);
    EXPECT_EQ(std::pair(publicUpstreams.calls.size(), relearned), std::pair(size_t{1}, 1));
    EXPECT_FALSE(router.view().fallback);
    router.setNetwork({{*DnsForwarder::upstream("192.0.2.53", 53)}, {"corp.example"}});
    EXPECT_TRUE(router.view().fallback);  // learned after the timeouts: at once
    ask("probe.example");
    now += 5s;
    ask("probe.example");
    EXPECT_EQ(std::pair(publicUpstreams.calls.size(), network.calls.size()), std::pair(size_t{2}, size_t{2}));
    network.complete(true), network.complete(false), publicUpstreams.complete(false);  // nas.lan times out
    publicUpstreams.complete(true);  // the probe's public answer, after the network's failed
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false, true, false, true}));
    EXPECT_FALSE(router.view().fallback);
    EXPECT_EQ(router.view().since, blockedAt);
    ask("nas.lan"), ask("x.corp.example");
    EXPECT_EQ(std::pair(publicUpstreams.calls.size(), network.calls.size()), std::pair(size_t{0}, size_t{2}));
    timeouts(2);
    ask("public.example"), publicUpstreams.complete(true);
    timeouts(2);
    EXPECT_FALSE(router.view().fallback);
    timeouts(1);
    EXPECT_TRUE(router.view().fallback);
    EXPECT_EQ(relearned, 1);
}

}  // namespace
}  // namespace vesk
