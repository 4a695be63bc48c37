#pragma once

#include <asio/io_context.hpp>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeskDNSCore/DnsMessage.hpp"
#include "VeskDNSCore/LoopTimer.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

class DeadlineQueue;
class ReadySet;

// Forwards a query and calls back once, on the DNS loop, with the answer or none.
class QueryForwarder {
public:
    using Completion = std::function<void(std::optional<DnsMessage::Bytes> answer)>;
    // A query forwarded over TCP is one that arrived over TCP: its answer may be too
    // large for a datagram.
    enum class Transport { udp, tcp };
    // Told of every query's end, whoever asked it: answered or not.
    using Outcome = std::function<void(bool answered)>;
    virtual ~QueryForwarder() = default;
    virtual void resolve(DnsMessage::Bytes query, Completion completion, Transport transport = Transport::udp) = 0;
    // Set once, before the first query.
    virtual void watchOutcomes(Outcome outcome) = 0;
};

// Sends each query, byte for byte, to every upstream resolver at once (over UDP, or TCP
// for a query that came over TCP) and delivers the first reply that can be its answer, or
// nothing once the deadline has passed. A reply counts when it comes from an upstream's
// own address and port, is at least a header long, carries the query's ID and asks the
// query's question (name without regard to letter case, type and class); anything else
// is logged and the race goes on. No caching, no retries, no rewriting. Everything runs
// on the DNS loop; completions are called there, exactly once.
class DnsForwarder final : public QueryForwarder {
public:
    struct Upstream {
        uint32_t address;  // IPv4, host byte order
        uint16_t port;
        std::string name;  // used in log lines
        bool operator==(const Upstream&) const = default;
    };

    // How a query's socket is watched: in a private set where the system has one (one
    // call to watch, none to stop), or by the loop itself, as everywhere.
    enum class Readiness { privateSet, loop };

    static std::vector<Upstream> defaultUpstreams();
    // An upstream for dotted-decimal text; none if it is not an IPv4 address.
    static std::optional<Upstream> upstream(const std::string& address, uint16_t port);

    // The deadlines run on timer (none: the steady clock on the loop).
    DnsForwarder(asio::io_context& loop, std::vector<Upstream> upstreams = defaultUpstreams(),
                 std::chrono::duration<double> timeout = std::chrono::duration<double>(2.0),
                 std::unique_ptr<LoopTimer> timer = nullptr,
                 Readiness readiness = Readiness::privateSet);
    ~DnsForwarder() override;
    DnsForwarder(const DnsForwarder&) = delete;
    DnsForwarder& operator=(const DnsForwarder&) = delete;

    // Returns at once; completion runs later on the loop with the winning answer or none.
    void resolve(DnsMessage::Bytes query, Completion completion, Transport transport = Transport::udp) override;
    void watchOutcomes(Outcome outcome) override { outcomes = std::move(outcome); }

    const std::vector<Upstream>& upstreams() const { return *list; }
    // Forwards to these from now on; queries under way finish with those they went to.
    void setUpstreams(std::vector<Upstream> upstreams);

private:
    struct Call;
    struct Exchange;

    void raceOverUdp(const std::shared_ptr<Call>& call);
    void raceOverTcp(const std::shared_ptr<Call>& call, const Upstream& upstream);
    static void wait(const std::shared_ptr<Call>& call);
    static void receive(const std::shared_ptr<Call>& call);
    static void reportRefusals(const Call& call, int error);
    static void finish(const std::shared_ptr<Call>& call, std::optional<DnsMessage::Bytes> answer);
    // Ends the race with reply if it answers the call; logs why not otherwise.
    static void offer(const std::shared_ptr<Call>& call, const std::string& upstream,
                      DnsMessage::View reply);

    asio::io_context& context;
    std::shared_ptr<const std::vector<Upstream>> list;
    std::vector<sockaddr_in> addresses;  // of the upstreams, in the list's order
    LoopTimer::Clock::duration callTimeout;
    std::shared_ptr<DeadlineQueue> deadlines;
    std::shared_ptr<ReadySet> readySet;  // none: the loop watches each socket
    Outcome outcomes;
};

}  // namespace vesk
