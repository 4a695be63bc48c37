#pragma once

#include <optional>
#include <string_view>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DnsMessage.hpp"

namespace vesk {

class Canary;

// What the filter does with one query, and the question as it was read.
struct Decision {
    enum class Kind {
        unreadable,          // no name could be read: forwarded as it is
        canary,              // NXDOMAIN: the tamper watch's lookup, come through the system
        dohBypass,           // NXDOMAIN: a public DNS-over-HTTPS resolver
        privateRelayBypass,  // NXDOMAIN: a private-relay ingress host
        resolverDiscovery,   // NOERROR without records
        blocked,             // NXDOMAIN, and a block to record and report
        safeSearch,          // CNAME to safeSearchTarget
        forward,
    };
    Kind kind;
    std::optional<DnsMessage::Question> question;  // none only when unreadable
    std::string_view safeSearchTarget;             // for safeSearch

    const DomainName& name() const { return question->name; }
};

// Decides, in a fixed order, what becomes of a query. Pure: it reads only the query, the
// blocklist it was given and tables fixed at startup, so any thread may ask.
class QueryPolicy {
public:
    // With a canary, its armed name is refused and counted.
    explicit QueryPolicy(const Blocklist& list, const Canary* watched = nullptr) : blocklist(&list), canary(watched) {}
    // Decides by another list from now on (one that replaced it); it must outlive its use.
    void use(const Blocklist& list) { blocklist = &list; }
    Decision decide(DnsMessage::View query) const;
    // What becomes of a name whatever the query asks: one of the answers above that do not
    // depend on the question's type, or none (rewritten or forwarded).
    std::optional<Decision::Kind> byName(const DomainName& name) const;
    // Whether the filter answers the name NXDOMAIN.
    bool refuses(const DomainName& name) const;

private:
    const Blocklist* blocklist;
    const Canary* canary;
};

}  // namespace vesk
