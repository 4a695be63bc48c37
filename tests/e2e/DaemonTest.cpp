#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <future>
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
// nothing after it (no OPT record); authoritative.
Bytes refusal(const Bytes& query, uint8_t rcode) {
    size_t end = 12;
    while (query.at(end) != 0) end += 1 + query[end];
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end + 5));
    out[2] = static_cast<uint8_t>(0x84 | (query[2] & 0x01));
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
    // Help and version are printed, and the daemon ends without serving.
    EXPECT_TRUE(run(VESK_DNSD_PATH " --help --blocklist /nonexistent").starts_with("usage: vesk-dnsd ")) << "help";
    EXPECT_EQ(run(VESK_DNSD_PATH " --version"), "vesk-dnsd 0.1\n");
}

// A downloaded list's whole life: fetched into an empty cache and in force within seconds;
// a 304 costs nothing; garbage and an almost empty list change nothing; a changed list is
// taken on SIGHUP; after a restart with the server failing the cached copy is in force at
// once, and the period fetches the list again once the server is back.
TEST_F(DaemonTest, ADownloadedListFromFirstFetchToCacheAndRefresh) {
    FakeUpstream upstream(FakeUpstream::address(1));
    std::mutex lock;
    HttpServer::Reply reply;
    HttpServer lists([&](const HttpServer::Request&) {
        std::lock_guard hold(lock);
        return reply;
    });
    auto serve = [&](HttpServer::Reply next) {
        std::lock_guard hold(lock);
        reply = std::move(next);
    };
    const std::string url = lists.url("/adult"), logged = "blocklist: " + url + " — ";
    auto blocked = [&](const char* name) {
        auto answer = ask(query(7, name));
        return answer && answer->size() > 3 && ((*answer)[3] & 0x0F) == 3;
    };
    auto refresh = [&](HttpServer::Reply next, const std::string& line, size_t times = 1) {
        serve(std::move(next));
        ::kill(daemon->processId(), SIGHUP);
        return waitUntil([&] {
            auto all = daemon->lines();
            return std::ranges::count_if(all, [&](const std::string& seen) { return seen.ends_with("] " + line); }) >=
                   static_cast<std::ptrdiff_t>(times);
        }, 10s);
    };
    TempDir host;
    HostSim::install(host.path());
    const std::string file = dir.path() + "/missing.txt";
    serve({{}, 200, "# hosts\n0.0.0.0 a.example b.example\n127.0.0.1 c.example\n", {}, {"ETag: \"v1\""}});
    daemon = Daemon::serve(file, {&upstream}, {"--blocklist-urls", url}, {}, host.path());
    EXPECT_EQ(daemon->lines("vesk-dnsd: WARNING blocklist is empty").size(), 1u);  // nothing cached yet
    ASSERT_TRUE(daemon->waitForLog("blocklist: now 3 names from 1 sources"));
    EXPECT_TRUE(blocked("www.b.example"));

    EXPECT_TRUE(refresh({{}, 304}, logged + "3 names", 2));
    EXPECT_EQ(lists.requests().back().headers["if-none-match"], "\"v1\"");
    EXPECT_TRUE(refresh({{}, 200, "<html><body>Not found</body></html>"},
                        logged + "refused: the list has no names — the last good copy stays"));
    EXPECT_TRUE(refresh({{}, 200, "a.example\n"}, logged + "refused: the list has 1 names, fewer than half of the "
                                                             "last good copy's 3 — the last good copy stays (the same "
                                                             "list 1 of 3 times in a row)"));
    EXPECT_TRUE(blocked("b.example"));
    EXPECT_TRUE(refresh({{}, 200, "! adblock\n||b.example^\n||d.example^\nc.example\ne.example\n@@||x.example^\n"},
                        "blocklist: now 4 names from 1 sources"));
    EXPECT_TRUE(daemon->waitForLog(logged + "1 lines skipped (not a list entry)"));
    EXPECT_EQ(std::pair(blocked("d.example"), blocked("a.example")), std::pair(true, false));
    dir.write("missing.txt", "hup.example\n");  // the file is read again on SIGHUP too
    EXPECT_TRUE(refresh({{}, 304}, "blocklist: now 5 names from 1 sources"));
    EXPECT_TRUE(blocked("hup.example"));
    auto shown = daemon->call("GET", "/blocklist");
    EXPECT_EQ(shown["domains"], 5);
    EXPECT_EQ(shown["file"], (nlohmann::json{{"path", file}, {"names", 1}}));
    EXPECT_EQ(shown["sources"][0]["names"], 4);
    EXPECT_TRUE(shown["sources"][0]["updated"].is_string() && shown["sources"][0]["error"].is_null()) << shown;

    ASSERT_EQ(daemon->stop(), 0);
    serve({{}, 503});
    daemon = Daemon::serve(file, {&upstream}, {"--blocklist-urls", url, "--blocklist-refresh", "0.0005"}, {},
                           host.path());
    EXPECT_EQ(daemon->lines("vesk-dnsd: loaded "),
              (std::vector<std::string>{"vesk-dnsd: loaded 1 blocked domains from " + file,
                                        "vesk-dnsd: loaded 4 blocked domains from " + url + " (cached)"}));
    EXPECT_TRUE(daemon->lines("vesk-dnsd: WARNING blocklist is empty").empty());
    EXPECT_TRUE(blocked("d.example"));
    EXPECT_TRUE(daemon->waitForLog(logged + "fetch failed (HTTP 503); next try in 2 s"));
    serve({{}, 200, "f.example\ng.example\nb.example\n"});
    EXPECT_TRUE(daemon->waitForLine([](std::string_view line) { return line.ends_with("] blocklist: now 4 names from 1 sources"); },
                                    10s));
    EXPECT_EQ(std::pair(blocked("f.example"), blocked("d.example")), std::pair(true, false));
    // A cache others may write is neither read nor written, and the lists in force stay.
    ::chmod((host.path() + "/Library/Application Support/Vesk").c_str(), 0775);
    EXPECT_TRUE(refresh({{}, 200, "h.example\n"}, "insecure blocklist cache directory: /Library/Application Support/Vesk "
                                                  "is writable by its group — cached lists not used, none downloaded") &&
                blocked("f.example"));
}

TEST_F(DaemonTest, AnswersLocallyOverUdpAndTcpAlike) {
    // What the names refused here get, and a forwarded one: the valid answer, not another ID's.
    auto otherId = FakeUpstream::answering([](Bytes q) { return q[1] ^= 0xFF, FakeUpstream::addressAnswer(q, 1); });
    FakeUpstream upstream(FakeUpstream::address(1, 300ms)), wrong(otherId);
    start({&wrong, &upstream});
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
    // A question that cannot be read is forwarded, though a listed name follows the header.
    Bytes noQuestion = query(0x3201, "blocked.example");
    noQuestion[5] = 0;
    EXPECT_EQ(hex(ask(noQuestion)), hex(FakeUpstream::addressAnswer(noQuestion, 1)));
    // Two queries in one segment, the slow forwarded one first: each is answered once it is ready.
    Bytes forwarded = query(0x2301, "example.org", 1, true), blocked = query(0x2302, "blocked.example");
    Bytes both = framed(forwarded), second = framed(blocked);
    both.insert(both.end(), second.begin(), second.end());
    TcpClient client(daemon->port());
    client.write(both);
    EXPECT_EQ(hex(client.receive(5s)), hex(refusal(blocked, 3)));
    EXPECT_EQ(hex(client.receive(5s)), hex(FakeUpstream::addressAnswer(forwarded, 1)));
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

// Strict clients read our own answers with no complaint, over UDP and TCP alike. An address
// type of a safe-search name gets the target's address too; other types the CNAME alone.
TEST_F(DaemonTest, StrictClientsReadOurAnswersOverUdpAndTcpAlike) {
    if (std::system("command -v dig >/dev/null && command -v kdig >/dev/null") != 0) {
        GTEST_SKIP() << "dig or kdig is not installed";
    }
    FakeUpstream upstream(FakeUpstream::address(5));
    start({&upstream});
    const struct { const char* asked; const char* expected; } cases[] = {
        {"blocked.example", "NXDOMAIN"},
        {"google.co.uk", "NOERROR\ngoogle.co.uk. 300 IN CNAME forcesafesearch.google.com. "
                         "\nforcesafesearch.google.com. 60 IN A 192.0.2.5 "},
        {"www.duckduckgo.com HTTPS", "NOERROR\nwww.duckduckgo.com. 300 IN CNAME safe.duckduckgo.com. "},
    };
    std::string server = " +time=3 @127.0.0.1 -p " + std::to_string(daemon->port()) + " ";
    for (const auto& c : cases) {
        for (const char* tool : {"dig +tries=1", "kdig +retry=0"}) {
            for (const char* transport : {"", " +tcp"}) {
                std::string out = run(tool + server + c.asked + transport);
                EXPECT_EQ(printedAnswer(out), c.expected) << out;
                EXPECT_TRUE(out.find("WARNING") == out.npos && out.find("Warning") == out.npos &&
                            out.find("malformed") == out.npos) << out;
            }
        }
    }
    EXPECT_TRUE(daemon->waitForLog("safesearch google.co.uk -> forcesafesearch.google.com"));
}

// A captive portal's whole life, with the network's resolver on loopback: private names go
// to it alone from the first; once three lookups have timed out every name does, blocked
// names still refused; the public upstreams answering again (the user logged in) end it.
TEST(NetworkTest, ACaptivePortalFromTheFirstTimeoutsToTheLogin) {
    std::atomic<bool> loggedIn = false;
    FakeUpstream publicUpstream(FakeUpstream::answering(
        [&](const Bytes& query) { return loggedIn ? FakeUpstream::addressAnswer(query, 1) : Bytes(); }));
    FakeUpstream network(FakeUpstream::address(7));
    TempDir host;
    HostSim::install(host.path());
    ASSERT_EQ(run(VESK_HOSTSIM_PATH " dhcp '" + host.path() + "' Wi-Fi 127.0.0.1 corp.example"), "");
    auto daemon = Daemon::serve(host.write("blocked.txt", "blocked.example\n"), {&publicUpstream}, {}, {}, host.path(),
                                {"VESK_WATCH_SPEEDUP=10", "VESK_NETWORK_DNS_PORT=" + std::to_string(network.port())});
    const std::string resolver = network.endpoint();
    ASSERT_TRUE(daemon->waitForLog("upstreams: the network's resolvers are " + resolver + ", search corp.example"));
    // The answer's rcode, and the last byte of its address (192.0.2.1 public, .7 the network's).
    auto ask = [&](const std::string& name, uint16_t type = 1) {
        Socket client;
        client.send(daemon->port(), query(9, name, type));
        auto answer = client.receive(5s);
        if (!answer || answer->size() < 12) return std::pair(-1, -1);
        return std::pair((*answer)[3] & 0x0F, (*answer)[7] == 1 ? int(answer->back()) : 0);
    };
    EXPECT_EQ(ask("nas.corp.example"), std::pair(0, 7));
    EXPECT_EQ(ask("20.1.168.192.in-addr.arpa", 12), std::pair(0, 7));

    std::vector<std::future<std::pair<int, int>>> first;
    for (const char* name : {"a.example", "b.example", "c.example"}) first.push_back(std::async(std::launch::async, ask, name, 1));
    for (auto& answer : first) EXPECT_EQ(answer.get(), std::pair(2, 0));  // SERVFAIL at the deadline
    EXPECT_TRUE(daemon->waitForLog("upstreams: public resolvers unreachable — using the network's resolvers " + resolver));
    EXPECT_EQ(ask("login.portal.example"), std::pair(0, 7));
    EXPECT_EQ(ask("www.blocked.example"), std::pair(3, 0));
    auto shown = daemon->call("GET", "/network");
    EXPECT_EQ(shown["mode"], "fallback");
    EXPECT_TRUE(shown["since"].is_string()) << shown;
    EXPECT_EQ(shown["networkResolvers"], nlohmann::json::array({resolver}));
    EXPECT_EQ(shown["searchDomains"], nlohmann::json::array({"corp.example"}));

    loggedIn = true;
    EXPECT_TRUE(waitUntil([&] { return ask("www.example") == std::pair(0, 1); }, 10s));
    EXPECT_TRUE(daemon->waitForLog("upstreams: public resolvers answer again"));
    EXPECT_EQ(ask("printer.corp.example"), std::pair(0, 7));
    // No private name ever reached the public upstreams.
    for (const auto& asked : publicUpstream.queries()) {
        std::string text(asked.begin(), asked.end());
        EXPECT_EQ(text.find("\x04corp"), std::string::npos);
        EXPECT_EQ(text.find("\x07in-addr"), std::string::npos);
    }
    EXPECT_EQ(daemon->stop(), 0);
}

// The daemon as it runs in production: paired and pointed at before it starts, the relay
// watch reaching the user's desktop, and a prompt stop with work in flight.
TEST(ProductionTest, StartsPairedWarnsOfTheRelayAndStopsPromptlyWithWorkInFlight) {
    FakeUpstream upstream(FakeUpstream::silent());
    // Tokens come; monitoring events never get an answer, so a sign-out waits on one.
    HttpServer backend([](const HttpServer::Request& request) {
        if (!request.target.starts_with("/auth/")) return HttpServer::Reply{HttpServer::Reply::Kind::hang};
        return HttpServer::Reply{{}, 200, R"({"access_token":"A1","refresh_token":"R0","expires_in":3600})"};
    });
    TempDir host;
    auto sim = HostSim::install(host.path());
    sim.setServices({{"Wi-Fi", true, {"127.0.0.1"}}});
    sim.setSafariRelay("1");
    std::string tokenFile = host.write("var/db/vesk/auth.token", "R0\n");
    auto daemon = Daemon::serve(host.path() + "/Library/Application Support/Vesk/adult-domains.txt", {&upstream},
                                {"--supabase-url", backend.url("/"), "--anon-key", "anon", "--alerts-token-file", tokenFile},
                                {}, host.path(), {"VESK_WATCH_SPEEDUP=10"});
    EXPECT_EQ(daemon->lines("vesk-dnsd: alert"),
              std::vector<std::string>{"vesk-dnsd: alert reporting CONFIGURED -> " + backend.url("/") + " (paired: yes)"});
    EXPECT_EQ(daemon->lines("vesk-dnsd: control"),
              std::vector<std::string>{"vesk-dnsd: control API on 127.0.0.1:" + std::to_string(daemon->controlPort()) +
                                       " (pin file: " + host.path() + "/var/db/vesk/pin.hash)"});

    // Found pointed at the filter: the caches are flushed and the relay agent reset, which the
    // system refuses, as it protects its own.
    EXPECT_EQ(daemon->lines("vesk-dnsd: filter state at startup: ON").size(), 1u);
    EXPECT_TRUE(daemon->waitForLog("relay agent cannot be restarted: protected by the system"));
    EXPECT_EQ(callsMade(sim, "dscacheutil -flushcache"), 1u);

    // The first look (10 s after start on a Mac, 1 s here) finds the relay on and tells the user.
    std::string notify = "launchctl asuser " + std::to_string(sim.consoleUid()) + " /usr/bin/sudo -u user1 /usr/bin/osascript -e ";
    EXPECT_TRUE(waitUntil([&] { return callsMade(sim, notify) > 0; }, 30s)) << "no notification";
    EXPECT_TRUE(daemon->waitForLog("privacy proxy ACTIVE — Safari bypassing filter; alarming user"));

    ASSERT_EQ(controlCall(daemon->controlPort(), "POST", "/pin", {{"pin", "2468"}}).status, 200);
    auto signOut = std::async(std::launch::async, [&] {
        return controlCall(daemon->controlPort(), "POST", "/signout", {{"pin", "2468"}});
    });
    ASSERT_TRUE(waitUntil([&] {
        auto signedOut = [](const auto& request) { return request.body.find("SIGNED_OUT") != request.body.npos; };
        return std::ranges::any_of(backend.requests(), signedOut);
    }, 10s));
    EXPECT_EQ(daemon->stop(), 0);  // within the harness's 5 s, though the sign-out waits up to 10
    signOut.wait();
}

}  // namespace
}  // namespace vesk::test
