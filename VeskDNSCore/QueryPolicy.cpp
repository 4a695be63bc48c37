#include "QueryPolicy.hpp"

#include "VeskDNSCore/Canary.hpp"
#include "VeskDNSCore/HostTables.hpp"
#include "VeskDNSCore/SafeSearch.hpp"

namespace vesk {

Decision QueryPolicy::decide(DnsMessage::View query) const {
    using Kind = Decision::Kind;
    auto question = DnsMessage::extractQName(query);
    if (!question) return {Kind::unreadable, std::nullopt, {}};
    const DomainName& name = question->name;
    auto decided = [&](Kind kind, std::string_view target = {}) {
        return Decision{kind, std::move(question), target};
    };
    if (auto kind = byName(name)) return decided(*kind);
    // A CNAME answer repeats the question, so one that stops short of its type and class
    // is forwarded instead.
    if (auto target = SafeSearch::target(name); target && question->typeAndClass) {
        return decided(Kind::safeSearch, *target);
    }
    return decided(Kind::forward);
}

std::optional<Decision::Kind> QueryPolicy::byName(const DomainName& name) const {
    using Kind = Decision::Kind;
    if (canary && canary->isArmed(name)) return Kind::canary;
    if (HostTables::isDoHBypass(name)) return Kind::dohBypass;
    if (HostTables::isPrivateRelayBypass(name)) return Kind::privateRelayBypass;
    // Asked through us, public resolvers would name their encrypted endpoints, inviting
    // the client past the filter.
    if (name.isAtOrUnder("_dns.resolver.arpa")) return Kind::resolverDiscovery;
    if (blocklist->contains(name)) return Kind::blocked;
    return std::nullopt;
}

bool QueryPolicy::refuses(const DomainName& name) const {
    auto kind = byName(name);
    return kind && kind != Decision::Kind::resolverDiscovery;
}

}  // namespace vesk
