#include "VeskDNSCore/UdpListener.hpp"

#include <gtest/gtest.h>

#include <set>

#include "tests/support/DnsTestUtil.hpp"
#include "tests/support/Loop.hpp"
#include "tests/support/Socket.hpp"

namespace vesk {
namespace {

using namespace std::chrono_literals;
using Bytes = DnsMessage::Bytes;

// Answers each query with its own bytes.
struct Echo final : QueryHandler {
    void handle(DnsMessage::View query, Client client) override {
        if (auto channel = client.channel.lock()) channel->deliver(query, client);
    }
};

// Collects datagrams from the client while the loop runs, until `count` have come.
std::vector<Bytes> answers(asio::io_context& loop, const test::Socket& client, size_t count) {
    std::vector<Bytes> out;
    test::runUntil(loop, [&] {
        while (auto datagram = client.receive(0ms)) out.push_back(*datagram);
        return out.size() >= count;
    });
    return out;
}

// Both ways of taking datagrams: in batches where the system has them, and one by one as
// everywhere else.
class UdpListenerIo : public testing::TestWithParam<UdpListener::Io> {};
INSTANTIATE_TEST_SUITE_P(, UdpListenerIo, testing::Values(UdpListener::Io::batched, UdpListener::Io::single));

TEST_P(UdpListenerIo, KeepsServingPastABurstAndAnEmptyDatagram) {
    asio::io_context loop;
    Echo echo;
    auto listener = std::make_shared<UdpListener>(loop, echo, GetParam());
    listener->start("127.0.0.1", 0);
    test::Socket client;
    // Queued before the loop runs, so more than one drain's worth waits at the first wake.
    std::set<Bytes> sent;
    for (uint16_t id = 0; id < 100; ++id) {
        Bytes query = test::query(id, "burst.test");
        if (id % 40 == 1) query.resize(3000, 0x55);  // answers too large to hold for the batch
        sent.insert(query);
        client.send(listener->boundPort(), query);
    }
    auto burst = answers(loop, client, 100);
    EXPECT_EQ(std::set<Bytes>(burst.begin(), burst.end()), sent);
    // An empty datagram gets no answer and ends that drain, not the service.
    client.send(listener->boundPort(), {});
    client.send(listener->boundPort(), test::query(500, "after.test"));
    EXPECT_EQ(answers(loop, client, 1), std::vector<Bytes>{test::query(500, "after.test")});
}

}  // namespace
}  // namespace vesk
