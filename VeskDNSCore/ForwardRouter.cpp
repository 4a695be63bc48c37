#include "ForwardRouter.hpp"

#include <memory>

#include "VeskPlatform/Text.hpp"

namespace vesk {
namespace {

// Single labels ("lan") too: the names no public resolver can answer for anyone.
constexpr std::string_view privateZones[] = {
    "home.arpa", "lan", "internal", "localdomain",
    // Reverse lookups of the private, link-local and unique-local ranges (not loopback).
    "10.in-addr.arpa", "16.172.in-addr.arpa", "17.172.in-addr.arpa", "18.172.in-addr.arpa", "19.172.in-addr.arpa",
    "20.172.in-addr.arpa", "21.172.in-addr.arpa", "22.172.in-addr.arpa", "23.172.in-addr.arpa",
    "24.172.in-addr.arpa", "25.172.in-addr.arpa", "26.172.in-addr.arpa", "27.172.in-addr.arpa",
    "28.172.in-addr.arpa", "29.172.in-addr.arpa", "30.172.in-addr.arpa", "31.172.in-addr.arpa",
    "168.192.in-addr.arpa", "254.169.in-addr.arpa", "d.f.ip6.arpa", "8.e.f.ip6.arpa", "9.e.f.ip6.arpa",
    "a.e.f.ip6.arpa", "b.e.f.ip6.arpa",
};

std::string names(const std::vector<DnsForwarder::Upstream>& upstreams) {
    std::vector<std::string> out;
    for (const auto& upstream : upstreams) out.push_back(upstream.name);
    return joinWith(out, " ");
}

}  // namespace

ForwardRouter::ForwardRouter(Parts routed) : parts(std::move(routed)) {
    // Told by the forwarder itself, so that the normal path costs nothing more.
    parts.publicUpstreams.watchOutcomes([this](bool answered) { publicAnswered(answered); });
}

bool ForwardRouter::isPrivate(const DomainName& name, const std::vector<std::string>& searchDomains) {
    for (auto zone : privateZones) {
        if (name.isAtOrUnder(zone)) return true;
    }
    for (const auto& domain : searchDomains) {
        if (name.isAtOrUnder(domain)) return true;
    }
    return false;
}

void ForwardRouter::resolve(DnsMessage::Bytes query, const DomainName* name, QueryForwarder::Completion completion,
                            Transport transport) {
    bool known = !network.resolvers.empty();
    if (known && name && isPrivate(*name, network.searchDomains)) {
        return parts.network.resolve(std::move(query), std::move(completion), transport);
    }
    if (!fallback) return parts.publicUpstreams.resolve(std::move(query), std::move(completion), transport);
    if (parts.now() - lastProbe >= parts.probeEvery) return probe(std::move(query), std::move(completion), transport);
    parts.network.resolve(std::move(query), std::move(completion), transport);
}

// Raced to both: the client gets the first answer, and a public one ends the fallback.
void ForwardRouter::probe(DnsMessage::Bytes query, QueryForwarder::Completion completion, Transport transport) {
    lastProbe = parts.now();
    struct Race {
        QueryForwarder::Completion completion;
        int pending = 2;
        void offer(std::optional<DnsMessage::Bytes> answer) {
            --pending;
            if (!completion || (!answer && pending > 0)) return;
            auto done = std::move(completion);
            completion = nullptr;
            done(std::move(answer));
        }
    };
    auto race = std::make_shared<Race>(Race{std::move(completion)});
    parts.network.resolve(query, [race](std::optional<DnsMessage::Bytes> answer) { race->offer(std::move(answer)); },
                          transport);
    parts.publicUpstreams.resolve(
        std::move(query), [race](std::optional<DnsMessage::Bytes> answer) { race->offer(std::move(answer)); }, transport);
}

void ForwardRouter::publicAnswered(bool answered) {
    if (answered) {
        publicTimeouts = 0;
        if (!fallback) return;
        fallback = false;
        since = parts.wallNow();
        log.info("upstreams: public resolvers answer again");
        return show();
    }
    if (++publicTimeouts < timeoutsBeforeFallback || fallback) return;
    if (!network.resolvers.empty()) return enterFallback();
    // The network may have changed under us (a hotel's Wi-Fi just joined): look again.
    if (publicTimeouts == timeoutsBeforeFallback && parts.relearn) parts.relearn();
}

void ForwardRouter::enterFallback() {
    fallback = true;
    since = parts.wallNow();
    lastProbe = parts.now();
    log.info("upstreams: public resolvers unreachable — using the network's resolvers {}", names(network.resolvers));
    show();
}

void ForwardRouter::setNetwork(Network learned) {
    if (learned == network) return;
    network = std::move(learned);
    if (!network.resolvers.empty()) {
        log.info("upstreams: the network's resolvers are {}{}", names(network.resolvers),
                 network.searchDomains.empty() ? "" : ", search " + joinWith(network.searchDomains, " "));
    } else {
        log.info("upstreams: the network handed out no resolver");
    }
    if (fallback && network.resolvers.empty()) {
        // Nowhere else to go: back to the public upstreams, failing or not.
        fallback = false;
        since = parts.wallNow();
        publicTimeouts = 0;
    } else if (!fallback && publicTimeouts >= timeoutsBeforeFallback && !network.resolvers.empty()) {
        return enterFallback();
    }
    show();
}

ForwardRouter::View ForwardRouter::view() const {
    std::lock_guard lock(shownLock);
    return shown;
}

void ForwardRouter::show() {
    std::lock_guard lock(shownLock);
    shown = {fallback, since, network};
}

}  // namespace vesk
