#pragma once

#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include "VeskDNSCore/BlockSubscriber.hpp"
#include "VeskDNSCore/Canary.hpp"
#include "VeskDNSCore/ForwardRouter.hpp"
#include "VeskDNSCore/LiveBlocklist.hpp"
#include "VeskDNSCore/QueryPolicy.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskDNSCore/LogChannels.hpp"

namespace vesk {

struct Client;

// What carries answers back: the UDP listener, or one TCP connection.
class AnswerChannel {
public:
    virtual ~AnswerChannel() = default;
    virtual void deliver(DnsMessage::View answer, const Client& client) = 0;
};

// Where one query's answer goes.
struct Client {
    std::weak_ptr<AnswerChannel> channel;
    sockaddr_storage address{};  // a UDP client's address
    socklen_t length = 0;
    // TCP: held for as long as the query is unanswered, so the connection knows it is busy.
    std::shared_ptr<const void> pending;
    bool overTcp = false;
};

// Takes queries from the listeners.
class QueryHandler {
public:
    virtual ~QueryHandler() = default;
    virtual void handle(DnsMessage::View query, Client client) = 0;
};

// Carries out the policy's decisions: the local answer, the log line, the block notice,
// or the forward with its relayed answer or SERVFAIL. Runs on the DNS loop; answers that
// come after their channel is gone are dropped.
class QueryPipeline final : public QueryHandler {
public:
    using WallClock = std::chrono::system_clock::time_point (*)();

    // The live list, subscribers and the canary (none: canary names are only refused)
    // must outlive the pipeline. A replaced list is handed to retire.
    QueryPipeline(const LiveBlocklist& list, ForwardRouter& forwarder,
                  std::vector<BlockSubscriber*> subscribers, Canary* canary = nullptr,
                  WallClock now = std::chrono::system_clock::now, LiveBlocklist::Reader::Retire retire = nullptr);

    void handle(DnsMessage::View query, Client client) override;

private:
    void answerSafeSearch(const Decision& decision, DnsMessage::View query, Client client);
    void forward(DnsMessage::View query, const DomainName* name, Client client);
    static void send(DnsMessage::View answer, const Client& client);

    LiveBlocklist::Reader blocklist;
    QueryPolicy policy;
    ForwardRouter& forwarder;
    std::vector<BlockSubscriber*> subscribers;
    Canary* canary;
    WallClock now;
    Log log{LogChannels::server};
    std::minstd_rand queryIds{std::random_device{}()};
};

}  // namespace vesk
