#include "VeskDNSCore/DnsServer.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <poll.h>

#include <future>
#include <thread>

#include "VeskDNSCore/TcpFraming.hpp"
#include "tests/DnsTestUtil.hpp"
#include "tests/FakeUpstream.hpp"
#include "tests/TcpClient.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::FakeUpstream;

// A server on 127.0.0.1 (port from the system) whose loop runs on a thread of its own,
// and a client socket to ask it.
class Served {
public:
    Served(const Blocklist& list, std::vector<const FakeUpstream*> upstreams,
           std::optional<DnsServer::TcpLimits> tcp = std::nullopt,
           std::chrono::duration<double> timeout = 0.3s) {
        std::vector<DnsForwarder::Upstream> to;
        for (const auto* fake : upstreams) to.push_back(*DnsForwarder::upstream("127.0.0.1", fake->port()));
        server = std::make_shared<DnsServer>(loop, list, "127.0.0.1", 0, &events, to, timeout);
        server->start();
        if (tcp) {
            EXPECT_FALSE(server->startTcp(*tcp));
        }
        thread = std::thread([this] { loop.run(); });
        client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval wait{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server->boundPort());
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~Served() {
        work.reset();
        loop.stop();
        thread.join();
        ::close(client);
    }

    std::optional<Bytes> ask(const Bytes& query) {
        ::send(client, query.data(), query.size(), 0);
        uint8_t buffer[4096];
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return Bytes(buffer, buffer + n);
    }

    uint16_t port() const { return server->boundPort(); }
    size_t connections() {
        std::promise<size_t> count;
        asio::post(loop, [&] { count.set_value(server->tcpConnectionCount()); });
        return count.get_future().get();
    }

    BlockEventLog events{200};

private:
    asio::io_context loop;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(loop);
    std::shared_ptr<DnsServer> server;
    std::thread thread;
    int client = -1;
};

uint8_t rcode(const Bytes& answer) { return answer[3] & 0x0F; }

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(DnsServer, DecisionsInTheirFixedOrder) {
    Blocklist list(std::vector<std::string>{"dns.google", "google.com", "adult.example"});
    FakeUpstream upstream(FakeUpstream::answering([](const Bytes& q) { return FakeUpstream::addressAnswer(q); }));
    auto sink = Log::capture();
    Served served(list, {&upstream});
    struct Case {
        const char* name;
        uint8_t rcode;
        const char* line;  // the log line the decision writes
    };
    const Case cases[] = {
        {"dns.google", 3, "blocked-doh dns.google"},         // listed too, but a bypass first
        {"mask.icloud.com", 3, "blocked-relay mask.icloud.com"},
        {"www.google.com", 3, "blocked www.google.com"},    // listed beats safe search
        {"cdn.adult.example", 3, "blocked cdn.adult.example"},
        {"bing.com", 0, "safesearch bing.com -> strict.bing.com"},
        {"example.org", 0, "forwarder.win"},
    };
    for (const auto& c : cases) {
        auto answer = served.ask(test::query(7, c.name));
        ASSERT_TRUE(answer) << c.name;
        EXPECT_EQ(rcode(*answer), c.rcode) << c.name;
        EXPECT_TRUE(sink->waitFor(c.line, 1s)) << c.name;
    }
    // Only blocklist hits are recorded; the bypass refusals are not.
    EXPECT_EQ(served.events.recent(10).size(), 2u);
    // Nothing above reached the upstream but the forwarded name and bing's safe host.
    ASSERT_EQ(upstream.queries().size(), 2u);
}

TEST(DnsServer, RunningOutOfSocketsFailsTheUpstreamNotTheListener) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's runtime opens descriptors of its own while it checks calls.
    GTEST_SKIP() << "needs free descriptors under AddressSanitizer";
#endif
    Blocklist list(std::vector<std::string>{"adult.example"});
    FakeUpstream silent(FakeUpstream::silent());
    auto sink = Log::capture();
    Served served(list, {&silent});
    // Allow this process no new descriptor at all (the lowest numbered one past those
    // open now would be the next).
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int next = ::dup(0);
    ::close(next);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(next);
    ::setrlimit(RLIMIT_NOFILE, &tight);
    Bytes query = test::query(0x0E0F, "example.org");
    auto failure = served.ask(query);
    auto blocked = served.ask(test::query(2, "adult.example"));
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(sink->waitFor("forwarder.state_failed txid=0e0f upstream=127.0.0.1:", 1s));
    EXPECT_EQ(failure, DnsMessage::servfailResponse(query));  // at the deadline
    ASSERT_TRUE(blocked);
    EXPECT_EQ(rcode(*blocked), 3);
    EXPECT_TRUE(served.ask(test::query(3, "adult.example")));  // and after
}

TEST(DnsServer, TcpConnectionsAreBoundedAndTimedOut) {
    Blocklist list(std::vector<std::string>{"adult.example"});
    FakeUpstream silent(FakeUpstream::silent());
    DnsServer::TcpLimits limits;
    limits.maxConnections = 2;
    limits.idleTimeout = 300ms;
    limits.messageDeadline = 300ms;
    Served served(list, {&silent}, limits);
    Bytes blocked = test::query(2, "adult.example");

    test::TcpClient first(served.port()), second(served.port());
    // A message too short for a header gets no answer; then second is the more recently
    // active connection.
    second.write(concat(*framed(Bytes{1, 2, 3}), *framed(blocked)));
    ASSERT_EQ(second.receive(1s), DnsMessage::nxdomainResponse(blocked));
    test::TcpClient third(served.port());  // over the cap: the longest idle one goes
    EXPECT_TRUE(first.closedWithin(1000ms));
    third.write(*framed(blocked));
    EXPECT_TRUE(third.receive(1s));

    // Idle for the timeout, or a message left unfinished: closed.
    test::TcpClient partial(served.port());
    partial.write({0, 40, 1, 2});
    EXPECT_TRUE(partial.closedWithin(1000ms));
    EXPECT_TRUE(third.closedWithin(1000ms));
    // A peer that goes away mid-message leaves nothing behind.
    {
        test::TcpClient gone(served.port());
        gone.write({0, 40, 1, 2});
    }
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (served.connections() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);  // polling, with the deadline above
    }
    EXPECT_EQ(served.connections(), 0u);
}

TEST(DnsServer, StartFailuresDescribeTheCall) {
    asio::io_context loop;
    Blocklist empty(std::vector<std::string>{});
    auto server = std::make_shared<DnsServer>(loop, empty, "localhost", 0, nullptr);
    try {
        server->start();
        FAIL() << "a host name is not an address";
    } catch (const DnsServer::ServerError& error) {
        EXPECT_EQ(error.kind(), DnsServer::ServerError::Kind::bindFailed);
        EXPECT_EQ(error.description(), "bind() failed: errno " + std::to_string(error.error()) +
                                           " (" + std::strerror(error.error()) + ")");
    }
}

}  // namespace
}  // namespace vesk
