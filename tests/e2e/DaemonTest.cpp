#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tests/DnsTestUtil.hpp"
#include "tests/TempDir.hpp"
#include "tests/e2e/Daemon.hpp"

namespace vesk::test {
namespace {

std::string hex(const std::optional<Bytes>& bytes) {
    if (!bytes) return "no reply";
    std::string out;
    char digits[4];
    for (uint8_t b : *bytes) out += (std::snprintf(digits, sizeof digits, "%02x ", b), digits);
    return out;
}

// The name at `at`, compression pointers followed; `at` moves past it.
std::string readName(const Bytes& m, size_t& at, int depth = 0) {
    std::string name;
    for (size_t length; (length = m.at(at)) != 0; at += length) {
        if (length >= 0xC0) {
            if (depth > 16) throw std::runtime_error("pointer loop in " + hex(m));
            size_t target = (length & 0x3F) << 8 | m.at(at + 1);
            at += 2;
            std::string rest = readName(m, target, depth + 1);
            return name.empty() ? rest : name + "." + rest;
        }
        if (++at + length > m.size()) throw std::runtime_error("label past the end in " + hex(m));
        name.append(name.empty() ? "" : ".").append(m.data() + at, m.data() + at + length);
    }
    ++at;
    return name;
}

uint16_t u16(const Bytes& m, size_t at) {
    return static_cast<uint16_t>(m.at(at) << 8 | m.at(at + 1));
}

size_t questionEnd(const Bytes& m) {
    size_t at = 12;
    readName(m, at);
    return at + 4;
}

struct Record {
    std::string name;
    uint16_t type = 0;
    uint32_t ttl = 0;
    Bytes data;
    std::string cname;  // the target, for a CNAME
};

std::vector<Record> answerRecords(const Bytes& m) {
    size_t at = 12;
    for (int n = u16(m, 4); n > 0; --n) readName(m, at), at += 4;
    std::vector<Record> out(u16(m, 6));
    for (auto& r : out) {
        r.name = readName(m, at);
        r.type = u16(m, at);
        r.ttl = static_cast<uint32_t>(u16(m, at + 4)) << 16 | u16(m, at + 6);
        size_t begin = at + 10, target = begin;
        at = begin + u16(m, at + 8);
        if (at > m.size()) throw std::runtime_error("record past the end in " + hex(m));
        r.data.assign(m.data() + begin, m.data() + at);
        if (r.type == 5) r.cname = readName(m, target);
    }
    return out;
}

// The daemon's own answers: ID, RD and QDCOUNT of the query, its first question and
// nothing after it (no OPT record); authoritative unless a SERVFAIL.
Bytes refusal(const Bytes& query, uint8_t rcode) {
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(questionEnd(query)));
    out[2] = static_cast<uint8_t>((rcode == 2 ? 0x80 : 0x84) | (query[2] & 0x01));
    out[3] = static_cast<uint8_t>(0x80 | rcode);
    std::fill(out.begin() + 6, out.begin() + 12, uint8_t{0});
    return out;
}

FakeUpstream::Script answeringWith(uint8_t last, std::chrono::milliseconds delay = {}) {
    auto answer = [last](const Bytes& q) { return FakeUpstream::addressAnswer(q, last); };
    return FakeUpstream::answering(answer, delay);
}

class DaemonTest : public ::testing::Test {
protected:
    // Starts the daemon with a blocklist file holding list (none: a path with no file).
    void start(const std::vector<const FakeUpstream*>& upstreams,
               const std::optional<std::string>& list = "blocked.example\n",
               const std::vector<std::string>& extra = {},
               const std::function<uint16_t()>& pickPort = {}) {
        blocklist = list ? dir.write("blocklist.txt", *list) : dir.path() + "/missing.txt";
        daemon = Daemon::serve(blocklist, upstreams, extra, pickPort);
    }
    std::optional<Bytes> ask(const Bytes& query, Clock::duration timeout = 3s) {
        Socket client;
        client.send(daemon->port(), query);
        return client.receive(timeout);
    }
    std::optional<Bytes> askTcp(const Bytes& query) {
        TcpClient client(daemon->port());
        client.write(framed(query));
        return client.receive(3s);
    }
    // A passing test ends with a clean shutdown; a failing one kills the daemon.
    void TearDown() override {
        if (daemon && !HasFailure()) {
            EXPECT_EQ(daemon->stop(), 0) << "exit status after SIGTERM";
        }
    }

    TempDir dir;
    std::string blocklist;
    std::unique_ptr<Daemon> daemon;
};

TEST_F(DaemonTest, ReportsStartupInOrderAndFiltersEvenWithoutAList) {
    FakeUpstream upstream(FakeUpstream::silent());
    struct Case { const char* what; std::optional<std::string> list; int loaded, signal; };
    const Case cases[] = {
        {"two names", "# comment\nblocked.example\nother.test\n", 2, SIGTERM},
        {"empty file", "", 0, SIGINT},
        {"no file", std::nullopt, 0, SIGTERM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start({&upstream}, c.list, {"--frobnicate"});
        std::vector<std::string> expected = {
            "vesk-dnsd: ignoring unknown arg --frobnicate",
            "vesk-dnsd: loaded " + std::to_string(c.loaded) + " blocked domains from " + blocklist};
        if (c.loaded == 0) {
            expected.push_back(
                "vesk-dnsd: WARNING blocklist is empty — fail-open, NOTHING will be blocked");
        }
        expected.push_back("vesk-dnsd: serving DNS on 127.0.0.1:" + std::to_string(daemon->port()));
        EXPECT_EQ(daemon->lines("vesk-dnsd: "), expected);

        for (const char* name : {"dns.google", "mask.icloud.com"}) {
            Bytes q = query(0x2001, name);
            EXPECT_EQ(hex(ask(q)), hex(refusal(q, 3))) << name;
        }
        // HTTPS records are rewritten without a lookup, so silent upstreams do not matter.
        auto rewritten = ask(query(0x2002, "www.bing.com", 65));
        ASSERT_TRUE(rewritten);
        auto records = answerRecords(*rewritten);
        ASSERT_EQ(records.size(), 1u) << hex(rewritten);
        EXPECT_EQ(records[0].cname, "strict.bing.com");
        EXPECT_EQ(daemon->stop(c.signal), 0);
        daemon.reset();
    }
}

TEST_F(DaemonTest, ExitsWithStatus1WhenThePortIsTaken) {
    FakeUpstream upstream(FakeUpstream::silent());
    Socket holder;
    Daemon failing(dir.write("blocklist.txt", "blocked.example\n"), holder.port(), {&upstream});
    EXPECT_EQ(failing.waitExit(), 1);
    EXPECT_TRUE(failing.waitForLine([](std::string_view line) {
        return line == "vesk-dnsd: failed to start: bind() failed: errno 98 (Address already in use)";
    })) << ::testing::PrintToString(failing.lines());
    EXPECT_TRUE(failing.lines("vesk-dnsd: serving").empty());
}

TEST_F(DaemonTest, ServesUdpAndWarnsWhenTheTcpPortIsTaken) {
    FakeUpstream upstream(FakeUpstream::silent());
    std::unique_ptr<Socket> holder;
    start({&upstream}, "blocked.example\n", {}, [&] {
        holder = std::make_unique<Socket>(SOCK_STREAM);
        holder->listen();
        return holder->port();
    });
    EXPECT_EQ(daemon->lines("vesk-dnsd: "),
              (std::vector<std::string>{
                  "vesk-dnsd: loaded 1 blocked domains from " + blocklist,
                  std::string(tcpWarning) + "bind() failed: errno 98 (Address already in use)",
                  "vesk-dnsd: serving DNS on 127.0.0.1:" + std::to_string(daemon->port())}));
    Bytes q = query(0x2101, "blocked.example");
    EXPECT_EQ(hex(ask(q)), hex(refusal(q, 3)));
}

TEST_F(DaemonTest, AnswersResolverDiscoveryWithNoDataAndNeverForwardsIt) {
    FakeUpstream upstream(answeringWith(1));
    start({&upstream});
    const struct { const char* name; bool recursionDesired, refused; } cases[] = {
        {"_dns.resolver.arpa", true, true},
        {"dns.example._dns.resolver.arpa", false, true},
        {"_DNS.Resolver.ARPA", true, true},
        {"not_dns.resolver.arpa", true, false},  // a label boundary, not a suffix
    };
    uint16_t id = 0x2200;
    for (const auto& c : cases) {
        for (bool tcp : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (tcp ? " over TCP" : " over UDP"));
            Bytes q = query(++id, c.name, 64, true);
            if (!c.recursionDesired) q[2] = 0;
            EXPECT_EQ(hex(tcp ? askTcp(q) : ask(q)),
                      hex(c.refused ? refusal(q, 0) : FakeUpstream::addressAnswer(q, 1)));
        }
    }
    EXPECT_TRUE(daemon->waitForLog("refused resolver discovery _dns.resolver.arpa"));
    EXPECT_TRUE(daemon->waitForLog("refused resolver discovery dns.example._dns.resolver.arpa"));
    EXPECT_EQ(upstream.queries().size(), 1u);
    EXPECT_EQ(upstream.tcpQueries().size(), 1u);
}

TEST_F(DaemonTest, AnswersFramedQueriesOverTcpAsTheyComplete) {
    FakeUpstream upstream(answeringWith(4, 300ms));
    start({&upstream});
    Bytes blocked = query(0x2301, "blocked.example"), other = query(0x2302, "a.blocked.example");
    Bytes forwarded = query(0x2303, "example.org", 1, true), whole = framed(blocked);
    auto joined = [](Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; };
    const struct { const char* what; std::vector<Bytes> writes, answers; } cases[] = {
        {"two queries in one segment", {joined(whole, framed(other))},
         {refusal(blocked, 3), refusal(other, 3)}},
        {"the length alone, then the rest", {Bytes(whole.begin(), whole.begin() + 2),
                                             Bytes(whole.begin() + 2, whole.end())},
         {refusal(blocked, 3)}},
        {"a slow forwarded query ahead of a blocked one", {joined(framed(forwarded), whole)},
         {refusal(blocked, 3), FakeUpstream::addressAnswer(forwarded, 4)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TcpClient client(daemon->port());
        for (size_t i = 0; i < c.writes.size(); ++i) {
            if (i > 0) {
                EXPECT_EQ(hex(client.receive(100ms)), hex(std::nullopt)) << "answered too early";
            }
            client.write(c.writes[i]);
        }
        for (const auto& answer : c.answers) EXPECT_EQ(hex(client.receive(3s)), hex(answer));
    }
}

TEST_F(DaemonTest, RefusesListedDohAndRelayNamesWithNxdomain) {
    FakeUpstream upstream(answeringWith(1));
    start({&upstream});
    const struct { const char* name; bool recursionDesired; const char* log; } cases[] = {
        {"blocked.example", true, "blocked blocked.example"},
        {"deep.sub.blocked.example", false, "blocked deep.sub.blocked.example"},
        {"Sub.BLOCKED.Example", true, nullptr},  // answered in the case it was asked in
        {"dns.google", true, "blocked-doh dns.google"},
        {"cloudflare-dns.com", false, "blocked-doh cloudflare-dns.com"},
        {"any.cloudflare-dns.com", true, "blocked-doh any.cloudflare-dns.com"},
        {"mask.icloud.com", true, "blocked-relay mask.icloud.com"},
        {"mask-h2.icloud.com", false, "blocked-relay mask-h2.icloud.com"},
        {"doh.dns.apple.com", true, "blocked-relay doh.dns.apple.com"},
    };
    uint16_t id = 0x3100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes q = query(++id, c.name, 1, true);
        if (!c.recursionDesired) q[2] = 0;
        EXPECT_EQ(hex(ask(q)), hex(refusal(q, 3)));
        if (c.log) {
            EXPECT_TRUE(daemon->waitForLog(c.log)) << c.log;
        }
    }
    EXPECT_TRUE(upstream.queries().empty());
}

TEST_F(DaemonTest, RewritesSafeSearchNamesAndAppendsTheTargetsAddress) {
    FakeUpstream upstream(answeringWith(7));
    start({&upstream});
    const struct { const char* name; uint16_t type; const char* target; } cases[] = {
        {"www.google.com", 1, "forcesafesearch.google.com"},
        {"google.co.uk", 1, "forcesafesearch.google.com"},
        {"youtube.com", 1, "restrictmoderate.youtube.com"},
        {"www.youtube.com", 1, "restrictmoderate.youtube.com"},
        {"m.youtube.com", 1, "restrictmoderate.youtube.com"},
        {"www.bing.com", 1, "strict.bing.com"},
        {"duckduckgo.com", 1, "safe.duckduckgo.com"},
        {"www.duckduckgo.com", 65, "safe.duckduckgo.com"},  // not an address: CNAME alone
    };
    uint16_t id = 0x4100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes q = query(++id, c.name, c.type, true);
        auto reply = ask(q);
        ASSERT_TRUE(reply);
        EXPECT_EQ(u16(*reply, 0), id);
        EXPECT_EQ(u16(*reply, 2) & 0x800F, 0x8000) << "QR set, no error";
        auto records = answerRecords(*reply);
        ASSERT_EQ(records.size(), c.type == 1 ? 2u : 1u) << hex(reply);
        EXPECT_EQ(records[0].name, c.name);
        EXPECT_EQ(records[0].type, 5);
        EXPECT_EQ(records[0].ttl, 300u);
        EXPECT_EQ(records[0].cname, c.target);
        if (c.type == 1) {
            EXPECT_EQ(records[1].name, c.target);
            EXPECT_EQ(records[1].type, 1);
            EXPECT_EQ(records[1].data, (Bytes{192, 0, 2, 7}));
        }
        EXPECT_TRUE(daemon->waitForLog(std::string("safesearch ") + c.name + " -> " + c.target));
    }
}

TEST_F(DaemonTest, ForwardsToEveryUpstreamAndRelaysTheFastestByteForByte) {
    FakeUpstream slow(answeringWith(1, 300ms)), fast(answeringWith(2, 20ms)),
        slowest(answeringWith(3, 600ms));
    start({&slow, &fast, &slowest});
    Bytes pointer = headerThen({0xC0, 0x0C, 0, 1, 0, 1});
    pointer[1] = 0x02;
    Bytes noQuestion = query(0x5103, "blocked.example");
    noQuestion[5] = 0;
    const struct { const char* what; Bytes datagram; } cases[] = {
        {"plain query with OPT", query(0x5101, "example.org", 1, true)},
        {"pointer in the question", pointer},
        {"QDCOUNT 0 ahead of a listed name", noQuestion},
        {"AAAA in mixed case", query(0x5104, "WWW.Example.ORG", 28)},
    };
    Socket client;  // one socket, so a late second reply would show up in the next case
    size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        client.send(daemon->port(), c.datagram);
        EXPECT_EQ(hex(client.receive(3s)), hex(FakeUpstream::addressAnswer(c.datagram, 2)));
        ++sent;
        for (const auto* upstream : {&slow, &fast, &slowest}) {
            ASSERT_TRUE(waitUntil([&] { return upstream->queries().size() >= sent; }));
            EXPECT_EQ(hex(upstream->queries().back()), hex(c.datagram));
        }
    }
    EXPECT_EQ(hex(client.receive(1s)), hex(std::nullopt));
}

TEST_F(DaemonTest, IgnoresRepliesWithAWrongIdOrTooShortForAHeader) {
    FakeUpstream wrongId(FakeUpstream::answering(
        [](Bytes q) { return q[1] ^= 0xFF, FakeUpstream::addressAnswer(q, 1); }, 10ms));
    FakeUpstream tooShort(FakeUpstream::answering(
        [](const Bytes& q) { return Bytes(q.begin(), q.begin() + 11); }, 20ms));
    FakeUpstream good(answeringWith(3, 300ms));
    start({&wrongId, &tooShort, &good});
    Bytes q = query(0x6101, "example.com", 1, true);
    EXPECT_EQ(hex(ask(q)), hex(FakeUpstream::addressAnswer(q, 3)));
}

TEST_F(DaemonTest, WhenNoUpstreamAnswers) {
    FakeUpstream silent(FakeUpstream::silent()), alsoSilent(FakeUpstream::silent());
    start({&silent, &alsoSilent});
    Bytes forwarded = query(0x7101, "example.net", 1, true);
    Bytes rewritten = query(0x7102, "www.google.com");
    Bytes tiny = {0x71, 0x03, 0x01, 0x00, 0x00};
    Bytes overTcp = query(0x7104, "example.net", 28, true);
    // Sent together so that the four waits overlap.
    Socket first, second, third;
    TcpClient fourth(daemon->port());
    auto sentAt = Clock::now();
    first.send(daemon->port(), forwarded);
    second.send(daemon->port(), rewritten);
    third.send(daemon->port(), tiny);
    fourth.write(framed(overTcp));
    auto since = [&] { return std::chrono::duration<double>(Clock::now() - sentAt).count(); };

    EXPECT_EQ(hex(first.receive(4s)), hex(refusal(forwarded, 2)));
    double servfailAt = since();
    EXPECT_GE(servfailAt, 1.8);
    EXPECT_LE(servfailAt, 3.0);

    auto bare = second.receive(sentAt + 4s - Clock::now());
    EXPECT_LE(since(), 3.0);
    ASSERT_TRUE(bare);
    EXPECT_EQ((*bare)[3] & 0x0F, 0) << hex(bare);
    auto records = answerRecords(*bare);
    ASSERT_EQ(records.size(), 1u) << hex(bare);
    EXPECT_EQ(records[0].type, 5);
    EXPECT_EQ(records[0].cname, "forcesafesearch.google.com");

    EXPECT_EQ(hex(fourth.receive(sentAt + 4s - Clock::now())), hex(refusal(overTcp, 2)));
    EXPECT_LE(since(), 3.0);
    EXPECT_EQ(hex(third.receive(sentAt + 2500ms - Clock::now())), hex(std::nullopt));
    for (const auto* upstream : {&silent, &alsoSilent}) {
        auto seen = upstream->queries();
        EXPECT_NE(std::find(seen.begin(), seen.end(), forwarded), seen.end());
        EXPECT_NE(std::find(seen.begin(), seen.end(), tiny), seen.end());
        EXPECT_EQ(std::find(seen.begin(), seen.end(), overTcp), seen.end());
        EXPECT_EQ(upstream->tcpQueries(), std::vector<Bytes>{overTcp});
    }
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return output;
}

// The status and the records that dig or kdig printed, spacing evened out.
std::string printedAnswer(const std::string& output) {
    size_t at = output.find("status: "), end = output.find_first_of(",;", at);
    std::string out = at == output.npos ? "no status" : output.substr(at + 8, end - at - 8);
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == ';') continue;
        std::istringstream words(line);
        out += "\n";
        for (std::string word; words >> word;) out += word + " ";
    }
    return out;
}

class DigTest : public DaemonTest {
protected:
    void SetUp() override {
        if (std::system("command -v dig >/dev/null && command -v kdig >/dev/null") != 0) {
            GTEST_SKIP() << "dig or kdig is not installed";
        }
    }
    std::string dig(const char* tool, const std::string& arguments) {
        return run(std::string(tool) + " +time=3 @127.0.0.1 -p " + std::to_string(daemon->port()) +
                   " " + arguments);
    }
    static constexpr const char* tools[] = {"dig +tries=1", "kdig +retry=0"};
};

TEST_F(DigTest, GetsTheSameAnswersOverTcpAsOverUdp) {
    FakeUpstream upstream(answeringWith(5));
    start({&upstream});
    const struct { const char* name; const char* expected; } cases[] = {
        {"blocked.example", "NXDOMAIN"},
        {"www.google.com", "NOERROR\nwww.google.com. 300 IN CNAME forcesafesearch.google.com. \n"},
        {"example.org", "NOERROR\nexample.org. 60 IN A 192.0.2.5 "},
    };
    for (const auto& c : cases) {
        for (const char* tool : tools) {
            SCOPED_TRACE(std::string(tool) + " " + c.name);
            std::string udp = dig(tool, c.name), tcp = dig(tool, std::string(c.name) + " +tcp");
            EXPECT_NE(printedAnswer(udp).find(c.expected), std::string::npos) << udp;
            EXPECT_EQ(printedAnswer(tcp), printedAnswer(udp)) << tcp;
            EXPECT_NE(tcp.find("(TCP)"), std::string::npos) << tcp;
            for (const auto& out : {udp, tcp}) {
                EXPECT_TRUE(out.find("WARNING") == out.npos && out.find("Warning") == out.npos &&
                            out.find("malformed") == out.npos) << out;
            }
        }
    }
}

TEST_F(DigTest, RetriesOverTcpWhenTheUpstreamTruncates) {
    // Over UDP only the question, with TC set; over TCP the whole answer.
    auto answer = [](const Bytes& q, bool overTcp) {
        Bytes out = FakeUpstream::addressAnswer(q, 8);
        if (!overTcp) out.resize(questionEnd(out)), out[2] |= 0x02, out[7] = 0;
        return Reply{out};
    };
    FakeUpstream upstream{FakeUpstream::TransportScript(answer)};
    start({&upstream});
    Bytes q = query(0x8101, "example.net", 1, true);
    EXPECT_EQ(hex(ask(q)), hex(answer(q, false).bytes)) << "relayed as it came";
    for (const char* tool : tools) {
        SCOPED_TRACE(tool);
        std::string out = dig(tool, "example.net");
        EXPECT_NE(printedAnswer(out).find("NOERROR\nexample.net. 60 IN A 192.0.2.8 "),
                  std::string::npos) << out;
    }
    // Each tool asked once over UDP, then again over TCP.
    EXPECT_EQ(upstream.queries().size(), 3u);
    EXPECT_EQ(upstream.tcpQueries().size(), 2u);
}

}  // namespace
}  // namespace vesk::test
