#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

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
// nothing after it (no OPT record).
Bytes refusal(const Bytes& query, uint8_t rcode) {
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(questionEnd(query)));
    out[2] = static_cast<uint8_t>((rcode == 3 ? 0x84 : 0x80) | (query[2] & 0x01));
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
               const std::vector<std::string>& extra = {}) {
        blocklist = list ? dir.write("blocklist.txt", *list) : dir.path() + "/missing.txt";
        daemon = Daemon::serve(blocklist, upstreams, extra);
    }
    std::optional<Bytes> ask(const Bytes& query, Clock::duration timeout = 3s) {
        Socket client;
        client.send(daemon->port(), query);
        return client.receive(timeout);
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
    // Sent together so that the three waits overlap.
    Socket first, second, third;
    auto sentAt = Clock::now();
    first.send(daemon->port(), forwarded);
    second.send(daemon->port(), rewritten);
    third.send(daemon->port(), tiny);
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

    EXPECT_EQ(hex(third.receive(sentAt + 2500ms - Clock::now())), hex(std::nullopt));
    for (const auto* upstream : {&silent, &alsoSilent}) {
        auto seen = upstream->queries();
        EXPECT_NE(std::find(seen.begin(), seen.end(), forwarded), seen.end());
        EXPECT_NE(std::find(seen.begin(), seen.end(), tiny), seen.end());
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

TEST_F(DaemonTest, DigAndKdigReadTheNxdomainCleanly) {
    if (std::system("command -v dig >/dev/null && command -v kdig >/dev/null") != 0) {
        GTEST_SKIP() << "dig or kdig is not installed";
    }
    FakeUpstream upstream(FakeUpstream::silent());
    start({&upstream});
    std::string target = " @127.0.0.1 -p " + std::to_string(daemon->port()) + " blocked.example";
    std::string dig = run("dig +tries=1 +time=3" + target);
    EXPECT_NE(dig.find("status: NXDOMAIN"), std::string::npos) << dig;
    EXPECT_TRUE(dig.find("WARNING") == dig.npos && dig.find("Warning") == dig.npos) << dig;
    std::string kdig = run("kdig +retry=0 +time=3" + target);
    EXPECT_NE(kdig.find("NXDOMAIN"), std::string::npos) << kdig;
    EXPECT_EQ(kdig.find("malformed"), kdig.npos) << kdig;
}

}  // namespace
}  // namespace vesk::test
