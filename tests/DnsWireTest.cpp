#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DnsMessage.hpp"
#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/NameSet.hpp"
#include "VeskDNSCore/TcpConnections.hpp"
#include "VeskDNSCore/TcpFraming.hpp"
#include "VeskDNSCore/UdpListener.hpp"
#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/Loop.hpp"
#include "tests/support/Socket.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Bytes = DnsMessage::Bytes;
using test::headerThen;
using test::query;
using test::TcpClient;
using Names = std::vector<std::string>;

TEST(DnsMessage, ExtractQNameReadsTheFirstQuestion) {
    Bytes zeroCount = query(0x1234, "example.com", 1, true);
    zeroCount[5] = 0;
    EXPECT_EQ(DnsMessage::servfailResponse(zeroCount)->size(), 12u);  // an error answer to it is the header alone
    const struct {
        const char* what;
        Bytes datagram;
        std::optional<std::string> name;
        int type = 0;  // 0: no type and class read
    } cases[] = {
        {"plain", query(1, "Example.COM", 28), "example.com", 28},
        {"11 bytes", Bytes(11, 0), std::nullopt},
        {"qdcount 0", zeroCount, std::nullopt},
        {"root name", headerThen({0}), std::nullopt},
        {"name without zero byte", headerThen({3, 'f', 'o', 'o', 3, 'c', 'o', 'm'}), "foo.com"},
        {"class cut off", headerThen({1, 'a', 0, 0, 1}), "a"},
        // Enough bytes after the pointer that, read as a length, it would make a label.
        {"compression pointer that could pass for a length", query(1, "www." + std::string(0xC0, 'x')), std::nullopt},
        {"label past the end", headerThen({5, 'a', 'b'}), std::nullopt},
        {"non-ASCII byte", headerThen({2, 'a', 0xE9, 0}), std::nullopt},
        {"length 0x41, read as a plain length", query(1, std::string(0x41, 'x')), std::string(0x41, 'x'), 1},
        {"a dot inside the last label", headerThen({4, 'c', 'o', 'm', '.', 0, 0, 1, 0, 1}), "com", 1},
    };
    for (const auto& c : cases) {
        auto q = DnsMessage::extractQName(c.datagram);
        EXPECT_EQ(q ? std::optional(q->name.text()) : std::nullopt, c.name) << c.what;
        EXPECT_EQ(q && q->typeAndClass ? q->typeAndClass->type : 0, c.type) << c.what;
    }
}

// (Another name, type or letter case, and a question followed by an OPT record, are told
// apart through the forwarder.)
TEST(DnsMessage, AQuestionIsReadWholeAndComparedUpToAsciiCase) {
    EXPECT_FALSE(DnsMessage::questionOf(headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1})));  // compressed
    // A label over 63 bytes is no question: its length byte could pass for a letter.
    EXPECT_FALSE(DnsMessage::questionOf(query(1, std::string(64, 'w') + ".com")));
    EXPECT_TRUE(DnsMessage::questionOf(query(1, std::string(63, 'w') + ".com")));
    // Only ASCII letters fold: bytes above it that differ by the case bit stay different.
    const Bytes upper = query(1, "\xc5.com"), lower = query(1, "\xe5.com");
    EXPECT_FALSE(DnsMessage::sameQuestion(*DnsMessage::questionOf(upper), *DnsMessage::questionOf(lower)));
}

// (Case, composition and the trailing dot are also seen through the blocklist below.)
TEST(DomainName, NormalisedOnceLowerCaseWithoutOneTrailingDot) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.b..", "a.b."}, {".", ""}, {"@[`{AZaz09", "@[`{azaz09"},  // the bytes around the letters stay
        {std::string(300, 'X') + ".", std::string(300, 'x')}, {"ABCDEFG\u00c9HIJKLMNOP", "abcdefg\u00e9hijklmnop"},
    };
    for (const auto& [raw, want] : cases) EXPECT_EQ(DomainName(raw).view(), want) << raw;
}

Names walked(std::string_view name) {
    Names seen;
    for (const auto& candidate : NameWalk(name)) seen.emplace_back(candidate.name());
    return seen;
}

TEST(NameSet, ParentWalkTestsEveryParentDownToTwoLabels) {
    const std::pair<const char*, Names> cases[] = {
        {"a.b.c.com", {"a.b.c.com", "b.c.com", "c.com"}},
        {"a..b.c.com", {"a..b.c.com", "b.c.com", "c.com"}},  // empty labels dropped from parents
        {"x.y.com.", {"x.y.com.", "y.com"}},
        {".y.com", {".y.com"}}, {"", {}},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(walked(name), expected) << name;
    // Past the inline room: a name of 40 labels has 39 candidates, the whole name first.
    std::string deep = "l0";
    for (int i = 1; i < 40; ++i) deep += ".l" + std::to_string(i);
    auto many = walked(deep);
    ASSERT_EQ(many.size(), 39u);
    EXPECT_EQ(std::pair(many.front(), many.back()), std::pair(deep, std::string("l38.l39")));
}

// From room for one name up. (A name listed twice is counted once: see Blocklist.)
TEST(NameSet, KeepsEveryNameItGrowsFor) {
    // Names of 40-62 bytes leave no bucket room for another long one before the table is
    // full by bytes; longer ones live outside the buckets. Each must still be placed and found.
    NameSet longNames(1);
    Names names = {std::string(300, 'a') + ".com"};
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::string(static_cast<size_t>(40 + i % 23), static_cast<char>('a' + i % 26)) +
                        std::to_string(i));
        names.back().resize(std::min<size_t>(names.back().size(), 62));
    }
    for (const auto& name : names) ASSERT_TRUE(longNames.insert(name)) << name;
    for (const auto& name : names) EXPECT_TRUE(longNames.contains(name)) << name;
    EXPECT_FALSE(longNames.contains(names[0].substr(1)));
}

bool blocks(const Blocklist& list, std::string_view name) { return list.contains(DomainName(name)); }

TEST(Blocklist, FileFormatRules) {
    test::TempDir dir;
    Blocklist list(dir.write("list.txt",
                             "\xEF\xBB\xBF  Example.COM \n"  // after a byte-order mark
                             "\n# comment.com\n.leading.com\nnodot\n"
                             "a.b.deep.net\r\n"  // CR of a CRLF file is trimmed
                             "example.com\n"     // duplicate after lower-casing
                             "0.0.0.0 hosts.com\n*.wild.com\ntrailing.org.\n"
                             "apple.com\ncdn.icloud.com\n"   // never-block, and under one
                             "\t\u00a0spaced.io\u2003\n"     // Unicode blanks (a zero-width space is none)
                             "\u00c9COLE.fr\ne\u0301cole.fr\n"  // one name, composed or not
                             "last.net"));                   // no final newline
    // example.com, a.b.deep.net, the hosts line, the wildcard, trailing.org., spaced.io,
    // école.fr, last.net
    EXPECT_EQ(list.count(), 8u);
    const std::pair<const char*, bool> cases[] = {
        {"example.com", true},       {"EXAMPLE.com.", true},    {"www.example.com", true},
        {"a.b.c.example.com", true},  // four labels below, through the parent walk
        {"x.a.b.deep.net", true},    {"b.deep.net", false},     // an entry does not block its parent
        {"hosts.com", false},        {"x.wild.com", false},     // verbatim lines never match
        {"trailing.org", false},     {"trailing.org..", true},  // one dot stripped: the entry itself
        {"spaced.io", true},         {"last.net", true},        {"www.\u00c9cole.FR.", true},
        {"nodot", false},            {"com", false},            {"", false},
        {".", false},                {"apple.com", false},      {"cdn.icloud.com", false},
    };
    for (const auto& [name, blocked] : cases) EXPECT_EQ(blocks(list, name), blocked) << name;
    // Several files: each readable UTF-8 one adds what no file before it had, a line cut by
    // the reader's megabyte pieces included; one that cannot be read, or is not UTF-8, adds nothing.
    std::vector<size_t> added;
    Blocklist both = Blocklist::unionOf({dir.write("big.txt", std::string((1 << 20) - 3, '#') + "\nsplit.example\nexample.com\n"),
                                         dir.path() + "/list.txt", dir.path(),  // unreadable
                                         dir.write("bad.txt", "ok.example\n\xed\xa0\x80.example\n")},  // a surrogate
                                        &added);
    EXPECT_EQ(added, (std::vector<size_t>{2, 7, 0, 0}));
    EXPECT_EQ(std::pair(blocks(both, "split.example"), blocks(both, "ok.example")), std::pair(true, false));
    // Listed names at or below a domain, those kept outside the buckets included.
    Blocklist deep(Names{"a.b.deep.net", std::string(70, 'a') + ".long.org"});
    const std::pair<const char*, bool> under[] = {
        {"deep.net", true}, {"a.b.deep.net", true}, {"x.a.b.deep.net", false}, {"eep.net", false},
        {"long.org", true}, {"org", true},          {"io", false},
    };
    for (const auto& [domain, listed] : under) EXPECT_EQ(deep.listsAtOrUnder(DomainName(domain)), listed) << domain;
}

// Feeds the stream to a reader `chunk` bytes at a time and collects what it hands out.
std::vector<Bytes> read(const Bytes& stream, size_t chunk, bool* midMessage) {
    FrameReader reader;
    std::vector<Bytes> out;
    for (size_t from = 0; from < stream.size(); from += chunk) {
        reader.append(stream.data() + from, std::min(chunk, stream.size() - from), {});
        while (auto message = reader.next()) out.push_back(*message);
    }
    *midMessage = reader.midMessage();
    return out;
}

TEST(TcpFraming, MessagesComeWholeHoweverTheStreamIsCut) {
    Bytes one(12, 0x11), two(300, 0x22), stream = *framed(one), second = *framed(two);
    stream.insert(stream.end(), second.begin(), second.end());
    // Whole; byte by byte; cut inside a message; cut inside the second length.
    for (size_t chunk : {stream.size(), size_t{1}, size_t{7}, size_t{15}}) {
        bool mid = true;
        EXPECT_EQ(read(stream, chunk, &mid), std::vector<Bytes>({one, two})) << chunk;
        EXPECT_FALSE(mid);
    }
    // An empty message is a frame too.
    bool mid = true;
    EXPECT_EQ(read({0, 0, 0, 1, 9}, 5, &mid), std::vector<Bytes>({{}, {9}}));
    EXPECT_FALSE(framed(Bytes(65536, 0)));
    // What follows a whole message in the same bytes began with them.
    FrameReader reader;
    Bytes rest = {0x11, 0, 12};  // the last byte of `one`, and the next length
    reader.append(stream.data(), 13, FrameReader::TimePoint(1s));
    reader.append(rest.data(), rest.size(), FrameReader::TimePoint(5s));
    EXPECT_EQ(reader.next(), one);
    EXPECT_EQ(reader.messageStarted(), FrameReader::TimePoint(5s));
}

// Answers each query with its own bytes, but throws for the IDs from 0xFA00.
struct EchoOrThrow final : QueryHandler {
    std::function<void(DnsMessage::View)> first;  // sees each query before it is answered
    void handle(DnsMessage::View query, Client client) override {
        if (first) first(query);
        if (query[0] == 0xFA) throw std::runtime_error("this query fails");
        if (auto channel = client.channel.lock()) channel->deliver(query, client);
    }
};

// A connection set on 127.0.0.1; the test runs its loop while it waits.
struct Served {
    explicit Served(TcpConnectionSet::Limits limits) : set(std::make_shared<TcpConnectionSet>(loop, handler, limits)) {
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

TEST(TcpConnections, TheLongestIdleConnectionGivesWayAtTheCap) {
    Served served({.maxConnections = 2});
    Bytes q = test::query(2, "a.example");
    TcpClient first(served.set->boundPort()), second(served.set->boundPort());
    // A query that fails leaves its connection idle, not busy; second is then the more
    // recently active connection.
    first.write(*framed(query(0xFA11, "fails.example")));
    second.write(*framed(q));
    ASSERT_EQ(served.answer(second), q);
    TcpClient third(served.set->boundPort());
    EXPECT_TRUE(served.closes(first));
    third.write(*framed(q));
    EXPECT_EQ(served.answer(third), q);
}

// A quiet connection is closed after the idle time; one whose message trickles in, a byte
// at a time, at the message's deadline from its first byte. Neither before its time.
TEST(TcpConnections, QuietAndTricklingConnectionsAreClosedInTime) {
    Served served({.idleTimeout = 300ms, .messageDeadline = 600ms});
    TcpClient quiet(served.set->boundPort()), trickling(served.set->boundPort());
    Bytes message = *framed(Bytes(100, 0x44));
    auto start = test::Clock::now();
    size_t sent = 0;
    for (; sent < message.size() && !trickling.closedWithin(0ms); ++sent) {
        trickling.write(Bytes{message[sent]});
        test::runUntil(served.loop, [] { return false; }, 50ms);
        bool early = test::Clock::now() - start < 300ms;
        EXPECT_FALSE(early && quiet.closedWithin(0ms));
    }
    EXPECT_LT(sent, message.size()) << "closed only once the message was whole";
    EXPECT_GE(test::Clock::now() - start, 600ms);
    EXPECT_TRUE(served.closes(quiet));
    EXPECT_EQ(served.set->connectionCount(), 0u);
}

// Both ways of taking datagrams: in batches where the system has them, and one by one as
// everywhere else.
class UdpListenerIo : public testing::TestWithParam<UdpListener::Io> {};
INSTANTIATE_TEST_SUITE_P(, UdpListenerIo, testing::Values(UdpListener::Io::batched, UdpListener::Io::single));

TEST_P(UdpListenerIo, KeepsServingPastABurstAndAnEmptyDatagram) {
    asio::io_context loop;
    EchoOrThrow echo;
    auto listener = std::make_shared<UdpListener>(loop, echo, GetParam());
    listener->start("127.0.0.1", 0);
    test::Socket client;
    auto answers = [&](size_t count) {  // until `count` have come
        std::vector<Bytes> out;
        test::runUntil(loop, [&] {
            while (auto datagram = client.receive(0ms)) out.push_back(*datagram);
            return out.size() >= count;
        });
        return out;
    };
    // Queued before the loop runs, so more than one drain's worth waits at the first wake.
    // By the 31st, at most 7 of the 30 answers made may still be waiting to go.
    std::vector<Bytes> early;
    echo.first = [&](DnsMessage::View query) {
        if (query[0] != 0 || query[1] != 30) return;
        while (auto datagram = client.receive(0ms)) early.push_back(*datagram);
    };
    std::set<Bytes> sent;
    for (uint16_t id = 0; id < 100; ++id) {
        Bytes query = test::query(id, "burst.test");
        if (id % 40 == 1) query.resize(3000, 0x55);  // answers too large to hold for the batch
        sent.insert(query);
        client.send(listener->boundPort(), query);
    }
    std::vector<Bytes> burst;
    test::runUntil(loop, [&] {
        while (auto datagram = client.receive(0ms)) burst.push_back(*datagram);
        return burst.size() + early.size() >= sent.size();
    });
    EXPECT_GE(early.size(), 23u);
    burst.insert(burst.end(), early.begin(), early.end());
    EXPECT_EQ(std::set<Bytes>(burst.begin(), burst.end()), sent);
    // An empty datagram gets no answer and ends that drain, not the service.
    client.send(listener->boundPort(), {});
    client.send(listener->boundPort(), test::query(500, "after.test"));
    EXPECT_EQ(answers(1), std::vector<Bytes>{test::query(500, "after.test")});
}

}  // namespace
}  // namespace vesk
