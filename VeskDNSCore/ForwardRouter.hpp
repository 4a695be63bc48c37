#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VeskDNSCore/DnsForwarder.hpp"
#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/LogChannels.hpp"

namespace vesk {

// Where a forwarded query goes. Normally to the public upstreams. A name only the local
// network can know (under home.arpa, lan, internal, localdomain or the network's search
// domain, or a reverse lookup of a private or link-local address) goes to the resolvers
// the network handed out, when one is known. When the public upstreams have answered none
// of the last three queries (a captive portal, a network that lets DNS reach only its own
// resolver) and a network resolver is known, every query goes there instead, and every
// five seconds one is also raced to the public upstreams, whose first answer ends it. The
// filter's decisions come before any of this: nothing blocked is ever forwarded. Runs on
// the DNS loop; the view may be read from any thread.
class ForwardRouter {
public:
    using Clock = LoopTimer::Clock;
    using Transport = QueryForwarder::Transport;
    struct Network {
        std::vector<DnsForwarder::Upstream> resolvers;
        std::vector<std::string> searchDomains;
        bool operator==(const Network&) const = default;
    };
    struct View {
        bool fallback = false;
        std::optional<std::chrono::system_clock::time_point> since;  // of the mode; none: since startup
        Network network;
    };
    struct Parts {
        QueryForwarder& publicUpstreams;
        QueryForwarder& network;  // forwards to Network::resolvers, as set with setNetwork
        std::function<Clock::time_point()> now;
        std::function<std::chrono::system_clock::time_point()> wallNow;
        // Asks for the network's resolvers to be learned afresh: the public upstreams fail.
        std::function<void()> relearn = nullptr;
        Clock::duration probeEvery = std::chrono::seconds(5);  // in fallback
    };
    // Watches the public upstreams' outcomes from now on.
    explicit ForwardRouter(Parts routed);

    // name: the question's, none when it could not be read.
    void resolve(DnsMessage::Bytes query, const DomainName* name, QueryForwarder::Completion completion,
                 Transport transport = Transport::udp);
    // What the network handed out, as last learned.
    void setNetwork(Network network);
    View view() const;

    // Whether the name is one only the local network knows.
    static bool isPrivate(const DomainName& name, const std::vector<std::string>& searchDomains);

    static constexpr int timeoutsBeforeFallback = 3;

private:
    void probe(DnsMessage::Bytes query, QueryForwarder::Completion completion, Transport transport);
    void publicAnswered(bool answered);
    void enterFallback();
    void show();

    Parts parts;
    Log log{LogChannels::upstreams};
    Network network;
    bool fallback = false;
    int publicTimeouts = 0;  // in a row
    Clock::time_point lastProbe{};
    std::optional<std::chrono::system_clock::time_point> since;
    mutable std::mutex shownLock;  // guards shown
    View shown;
};

}  // namespace vesk
