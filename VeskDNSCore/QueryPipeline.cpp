#include "QueryPipeline.hpp"

namespace vesk {
namespace {

// Without an OPT record in our answer, a client may expect no more than this.
constexpr size_t classicUdpSize = 512;

// A query that came over TCP goes upstream over TCP: its answer may not fit a datagram.
QueryForwarder::Transport transportFor(const Client& client) {
    return client.overTcp ? QueryForwarder::Transport::tcp : QueryForwarder::Transport::udp;
}

}  // namespace

QueryPipeline::QueryPipeline(const LiveBlocklist& list, ForwardRouter& upstreams,
                             std::vector<BlockSubscriber*> blockSubscribers, Canary* watched,
                             WallClock clock, LiveBlocklist::Reader::Retire retire)
    : blocklist(list, std::move(retire)),
      policy(blocklist.list(), watched),
      forwarder(upstreams),
      subscribers(std::move(blockSubscribers)),
      canary(watched),
      now(clock) {}

void QueryPipeline::handle(DnsMessage::View query, Client client) {
    using Kind = Decision::Kind;
    if (blocklist.refresh()) policy.use(blocklist.list());
    Decision decision = policy.decide(query);
    auto refuse = [&](std::optional<DnsMessage::Bytes> answer) {
        if (answer) send(*answer, client);
    };
    switch (decision.kind) {
        case Kind::unreadable:
            return forward(query, nullptr, std::move(client));
        case Kind::forward:
            return forward(query, &decision.name(), std::move(client));
        case Kind::canary:
            // Marked before the answer goes, so that a lookup answered by us has been seen.
            if (canary) canary->arrived(decision.name());
            refuse(DnsMessage::nxdomainResponse(query));
            log.debug("canary {}", decision.name().text());
            return;
        case Kind::dohBypass:
            refuse(DnsMessage::nxdomainResponse(query));
            log.info("blocked-doh {}", decision.name().text());
            return;
        case Kind::privateRelayBypass:
            refuse(DnsMessage::nxdomainResponse(query));
            log.info("blocked-relay {}", decision.name().text());
            return;
        case Kind::resolverDiscovery:
            refuse(DnsMessage::nodataResponse(query));
            log.info("refused resolver discovery {}", decision.name().text());
            return;
        case Kind::blocked:
            refuse(DnsMessage::nxdomainResponse(query));
            log.info("blocked {}", decision.name().text());
            for (auto* subscriber : subscribers) subscriber->blocked("adult", decision.name(), now());
            return;
        case Kind::safeSearch:
            log.info("safesearch {} -> {}", decision.name().text(), decision.safeSearchTarget);
            return answerSafeSearch(decision, query, std::move(client));
    }
}

// Many stubs do not chase a CNAME that comes without the target's addresses, so the
// answer carries them: resolved upstream with the query's own type and class.
void QueryPipeline::answerSafeSearch(const Decision& decision, DnsMessage::View query,
                                     Client client) {
    auto cname = DnsMessage::cnameResponse(query, decision.safeSearchTarget, 300);
    if (!cname) return forward(query, &decision.name(), std::move(client));
    uint16_t type = decision.question->typeAndClass->type;
    uint16_t klass = decision.question->typeAndClass->klass;
    if (type != DnsMessage::typeA && type != DnsMessage::typeAAAA) return send(*cname, client);
    auto id = static_cast<uint16_t>(queryIds());
    auto transport = transportFor(client);
    forwarder.resolve(
        DnsMessage::buildQuery(id, decision.safeSearchTarget, type, klass), nullptr,
        [cname = std::move(*cname), target = decision.safeSearchTarget, type, klass,
         client = std::move(client)](std::optional<DnsMessage::Bytes> answer) {
            if (answer) {
                auto records = DnsMessage::answerChain(*answer, target, type, klass);
                if (!records.empty()) {
                    auto full = DnsMessage::withAnswers(cname, records);
                    if (client.overTcp || full.size() <= classicUdpSize) return send(full, client);
                }
            }
            send(cname, client);
        },
        transport);
}

void QueryPipeline::forward(DnsMessage::View query, const DomainName* name, Client client) {
    auto transport = transportFor(client);
    DnsMessage::Bytes bytes(query.begin(), query.end());
    // The completion keeps its own copy of the query for the SERVFAIL.
    auto relay = [query = bytes, client = std::move(client)](std::optional<DnsMessage::Bytes> answer) {
        if (answer) return send(*answer, client);
        if (auto failure = DnsMessage::servfailResponse(query)) send(*failure, client);
    };
    forwarder.resolve(std::move(bytes), name, std::move(relay), transport);
}

void QueryPipeline::send(DnsMessage::View answer, const Client& client) {
    if (auto channel = client.channel.lock()) channel->deliver(answer, client);
}

}  // namespace vesk
