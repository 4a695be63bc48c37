#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "tests/support/DnsTestUtil.hpp"
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

// The daemon's own answers: ID, RD and QDCOUNT of the query, its first question and
// nothing after it (no OPT record); authoritative unless a SERVFAIL.
Bytes refusal(const Bytes& query, uint8_t rcode) {
    size_t end = 12;
    while (query.at(end) != 0) end += 1 + query[end];
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end + 5));
    out[2] = static_cast<uint8_t>((rcode == 2 ? 0x80 : 0x84) | (query[2] & 0x01));
    out[3] = static_cast<uint8_t>(0x80 | rcode);
    std::fill(out.begin() + 6, out.begin() + 12, uint8_t{0});
    return out;
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
        if (::pclose(pipe) != 0) output += "\n(exit status not 0)";
    }
    return output;
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
    std::optional<Bytes> ask(const Bytes& query, bool overTcp = false) {
        if (overTcp) {
            TcpClient client(daemon->port());
            client.write(framed(query));
            return client.receive(5s);
        }
        Socket client;
        client.send(daemon->port(), query);
        return client.receive(5s);
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

// Bad arguments, no list, the TCP and control ports taken and alerts that would cross a
// network in clear text: a warning each, in their order, and the daemon serves all the same.
TEST_F(DaemonTest, ReportsStartupInOrderAndServesDespiteEachWarning) {
    FakeUpstream upstream(FakeUpstream::silent());
    Socket heldControl(SOCK_STREAM);
    heldControl.listen();
    std::unique_ptr<Socket> heldTcp;
    start({&upstream}, std::nullopt,
          {"--frobnicate", "--port", "99999", "--control-port", std::to_string(heldControl.port()), "--supabase-url",
           "http://backend.example/", "--anon-key", "anon", "--alerts-token-file", dir.write("t", "R0")},
          [&] {
              heldTcp = std::make_unique<Socket>(SOCK_STREAM);
              heldTcp->listen();
              return heldTcp->port();
          });
    EXPECT_EQ(daemon->lines("vesk-dnsd: "),
              (std::vector<std::string>{
                  "vesk-dnsd: ignoring unknown arg --frobnicate", "vesk-dnsd: ignoring bad --port value 99999",
                  "vesk-dnsd: WARNING alert config invalid — alerts DISABLED",
                  "vesk-dnsd: loaded 0 blocked domains from " + blocklist,
                  "vesk-dnsd: WARNING blocklist is empty — fail-open, NOTHING will be blocked",
                  std::string(tcpWarning) + portInUse,
                  "vesk-dnsd: serving DNS on 127.0.0.1:" + std::to_string(daemon->port()),
                  "vesk-dnsd: WARNING control API failed to start: bindFailed(" + std::to_string(EADDRINUSE) + ") (" +
                      std::strerror(EADDRINUSE) + ") — toggle unavailable, filtering continues",
                  "vesk-dnsd: filter state at startup: OFF"}));
    // The UDP port taken, even by another of us: the second one to come ends.
    Daemon second(blocklist, daemon->port(), {&upstream});
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_TRUE(second.waitForLine([](std::string_view line) {
        return line == "vesk-dnsd: failed to start: " + portInUse;
    })) << ::testing::PrintToString(second.lines());
    Bytes q = query(0x2001, "dns.example._dns.resolver.arpa", 64, true);
    EXPECT_EQ(hex(ask(q)), hex(refusal(q, 0)));
    EXPECT_EQ(daemon->stop(SIGINT), 0);
    daemon.reset();
}

// Pointed at the filter already: the caches are flushed and the relay agent restarted.
TEST_F(DaemonTest, FindsAtStartupThatTheHostPointsAtTheFilter) {
    FakeUpstream upstream(FakeUpstream::silent());
    TempDir host;
    auto sim = HostSim::install(host.path());
    sim.setServices({{"Wi-Fi", true, {}}, {"Thunderbolt Bridge", true, {"8.8.8.8", "127.0.0.1"}}});
    sim.clearCalls();
    daemon = Daemon::serve(dir.write("blocklist.txt", ""), {&upstream}, {}, {}, host.path());
    EXPECT_EQ(daemon->lines("vesk-dnsd: filter state"), std::vector<std::string>{"vesk-dnsd: filter state at startup: ON"});
    // The relay agent is the system's, which it protects: the reset says so, not success.
    EXPECT_TRUE(daemon->waitForLog("relay agent cannot be restarted: protected by the system"));
    EXPECT_EQ(daemon->stop(), 0);
    std::string agent = "gui/" + std::to_string(sim.consoleUid()) + "/com.apple.networkserviceproxy";
    EXPECT_EQ(sim.calls(), (std::vector<std::string>{"networksetup -listnetworkserviceorder",
                                                     "networksetup -getdnsservers Wi-Fi",
                                                     "networksetup -getdnsservers 'Thunderbolt Bridge'",
                                                     "dscacheutil -flushcache", "killall -HUP mDNSResponder",
                                                     "launchctl bootout " + agent, "launchctl kickstart -k " + agent}));
}

TEST(DaemonCommandLine, HelpAndVersionPrintAndExitWithoutServing) {
    std::string help = run(VESK_DNSD_PATH " --help --blocklist /nonexistent");
    EXPECT_TRUE(help.starts_with("usage: vesk-dnsd ")) << help;
    EXPECT_NE(help.find("\n  --upstreams LIST "), help.npos) << help;
    EXPECT_EQ(run(VESK_DNSD_PATH " --version"), "vesk-dnsd 0.1\n");
}

TEST_F(DaemonTest, AnswersLocallyOverUdpAndTcpAlike) {
    FakeUpstream upstream(FakeUpstream::address(1, 300ms));
    start({&upstream});
    const struct { const char* name; bool recursionDesired; int rcode; const char* log; } cases[] = {
        {"deep.Sub.BLOCKED.example", false, 3, "blocked deep.sub.blocked.example"},  // answered in the case asked
        {"any.cloudflare-dns.com", true, 3, "blocked-doh any.cloudflare-dns.com"},
        {"mask-h2.icloud.com", false, 3, "blocked-relay mask-h2.icloud.com"},
        {"dns.example._dns.resolver.arpa", true, 0, "refused resolver discovery dns.example._dns.resolver.arpa"},
        {"not_dns.resolver.arpa", true, -1, nullptr},  // a label boundary, not a suffix: forwarded
    };
    uint16_t id = 0x3100;
    for (const auto& c : cases) {
        for (bool tcp : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (tcp ? " over TCP" : " over UDP"));
            Bytes q = query(++id, c.name, c.rcode == 0 ? 64 : 1, true);
            if (!c.recursionDesired) q[2] = 0;
            auto expected = c.rcode < 0 ? FakeUpstream::addressAnswer(q, 1) : refusal(q, static_cast<uint8_t>(c.rcode));
            EXPECT_EQ(hex(ask(q, tcp)), hex(expected));
        }
        EXPECT_TRUE(!c.log || daemon->waitForLog(c.log)) << c.log;
    }
    EXPECT_EQ(upstream.queries().size(), 1u);
    EXPECT_EQ(upstream.tcpQueries().size(), 1u);
    // Two queries in one segment, the slow forwarded one first: each is answered once it is ready.
    Bytes forwarded = query(0x2301, "example.org", 1, true), blocked = query(0x2302, "blocked.example");
    Bytes both = framed(forwarded), second = framed(blocked);
    both.insert(both.end(), second.begin(), second.end());
    TcpClient client(daemon->port());
    client.write(both);
    EXPECT_EQ(hex(client.receive(5s)), hex(refusal(blocked, 3)));
    EXPECT_EQ(hex(client.receive(5s)), hex(FakeUpstream::addressAnswer(forwarded, 1)));
}

TEST_F(DaemonTest, ForwardsToEveryUpstreamAndRelaysTheFastestValidAnswerByteForByte) {
    auto otherId = FakeUpstream::answering([](Bytes q) { return q[1] ^= 0xFF, FakeUpstream::addressAnswer(q, 1); });
    FakeUpstream wrong(otherId), fast(FakeUpstream::address(2, 20ms)), slow(FakeUpstream::address(3, 600ms));
    start({&wrong, &fast, &slow});
    Bytes pointer = headerThen({0xC0, 0x0C, 0, 1, 0, 1});
    pointer[1] = 0x02;
    Bytes noQuestion = query(0x5103, "blocked.example");
    noQuestion[5] = 0;
    const Bytes cases[] = {query(0x5101, "example.org", 1, true), pointer,  // a pointer in the question
                           noQuestion,  // QDCOUNT 0 ahead of a listed name
                           query(0x5104, "WWW.Example.ORG", 28)};
    Socket client;  // one socket, so a late second reply would show up in the next case
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(hex(cases[i]));
        client.send(daemon->port(), cases[i]);
        EXPECT_EQ(hex(client.receive(5s)), hex(FakeUpstream::addressAnswer(cases[i], 2)));
        for (const auto* upstream : {&wrong, &fast, &slow}) {
            ASSERT_TRUE(waitUntil([&] { return upstream->queries().size() > i; }));
            EXPECT_EQ(hex(upstream->queries().back()), hex(cases[i]));
        }
    }
    EXPECT_EQ(hex(client.receive(1s)), hex(std::nullopt));
}

TEST_F(DaemonTest, AnswersServfailWhenNoUpstreamAnswers) {
    FakeUpstream silent(FakeUpstream::silent()), alsoSilent(FakeUpstream::silent());
    start({&silent, &alsoSilent});
    Bytes overUdp = query(0x7101, "example.net", 1, true), overTcp = query(0x7104, "example.net", 28, true);
    // Sent together so that the waits overlap.
    Socket udp;
    TcpClient tcp(daemon->port());
    udp.send(daemon->port(), overUdp);
    tcp.write(framed(overTcp));
    EXPECT_EQ(hex(udp.receive(10s)), hex(refusal(overUdp, 2)));
    EXPECT_EQ(hex(tcp.receive(10s)), hex(refusal(overTcp, 2)));
    for (const auto* upstream : {&silent, &alsoSilent}) EXPECT_EQ(upstream->tcpQueries(), std::vector<Bytes>{overTcp});
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

// Strict clients: each reads our answers with no complaint, over UDP and TCP alike.
class DigTest : public DaemonTest {
protected:
    void SetUp() override {
        if (std::system("command -v dig >/dev/null && command -v kdig >/dev/null") != 0) {
            GTEST_SKIP() << "dig or kdig is not installed";
        }
    }
    std::string dig(const char* tool, const std::string& arguments) {
        return run(std::string(tool) + " +time=3 @127.0.0.1 -p " + std::to_string(daemon->port()) + " " + arguments);
    }
    static constexpr const char* tools[] = {"dig +tries=1", "kdig +retry=0"};
};

TEST_F(DigTest, GetsTheSameAnswersOverTcpAsOverUdp) {
    FakeUpstream upstream(FakeUpstream::address(5));
    start({&upstream});
    // An address type of a safe-search name gets the target's address too; other types the CNAME alone.
    const struct { const char* asked; const char* expected; } cases[] = {
        {"blocked.example", "NXDOMAIN"},
        {"google.co.uk", "NOERROR\ngoogle.co.uk. 300 IN CNAME forcesafesearch.google.com. "
                         "\nforcesafesearch.google.com. 60 IN A 192.0.2.5 "},
        {"www.duckduckgo.com HTTPS", "NOERROR\nwww.duckduckgo.com. 300 IN CNAME safe.duckduckgo.com. "},
        {"example.org", "NOERROR\nexample.org. 60 IN A 192.0.2.5 "},
    };
    for (const auto& c : cases) {
        for (const char* tool : tools) {
            SCOPED_TRACE(std::string(tool) + " " + c.asked);
            std::string udp = dig(tool, c.asked), tcp = dig(tool, std::string(c.asked) + " +tcp");
            EXPECT_EQ(printedAnswer(udp), c.expected) << udp;
            EXPECT_EQ(printedAnswer(tcp), c.expected) << tcp;
            EXPECT_NE(tcp.find("(TCP)"), std::string::npos) << tcp;
            for (const auto& out : {udp, tcp}) {
                EXPECT_TRUE(out.find("WARNING") == out.npos && out.find("Warning") == out.npos &&
                            out.find("malformed") == out.npos) << out;
            }
        }
    }
    EXPECT_TRUE(daemon->waitForLog("safesearch google.co.uk -> forcesafesearch.google.com"));
}

}  // namespace
}  // namespace vesk::test
