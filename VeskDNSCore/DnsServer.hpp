#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeskDNSCore/LiveBlocklist.hpp"
#include "VeskDNSCore/DnsForwarder.hpp"
#include "VeskPlatform/ListenSocket.hpp"
#include "VeskDNSCore/QueryPipeline.hpp"
#include "VeskDNSCore/TcpConnections.hpp"
#include "VeskDNSCore/UdpListener.hpp"
#include "VeskDNSCore/LogChannels.hpp"

namespace vesk {

// The DNS listener: UDP, and TCP on the same address and port, both served on the DNS
// loop and feeding one query pipeline, which answers locally or forwards.
class DnsServer {
public:
    using ServerError = vesk::ServerError;
    using TcpLimits = TcpConnectionSet::Limits;

    // What the daemon adds to a bare listener.
    struct Hooks {
        Canary* canary = nullptr;  // must outlive the server
        // A list the loop lets go of is handed to retire, so that freeing it costs the loop nothing.
        LiveBlocklist::Reader::Retire retire = nullptr;
        // Called on the loop when the public upstreams fail and no network resolver is known.
        std::function<void()> relearnNetwork = nullptr;
        std::chrono::steady_clock::duration probeEvery = std::chrono::seconds(5);
    };
    // The live list and block subscribers must outlive the server.
    DnsServer(asio::io_context& dnsLoop, const LiveBlocklist& list, std::string bindHost,
              uint16_t bindPort, std::vector<BlockSubscriber*> blockSubscribers,
              std::vector<DnsForwarder::Upstream> upstreams, std::chrono::duration<double> timeout, Hooks hooks);
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    // Opens, binds and starts receiving over UDP; throws ServerError. Call before the
    // loop runs.
    void start();
    // The same over TCP on the same address and port (the one UDP got, when it asked the
    // system for one); an error is returned, not thrown, since UDP serving goes on
    // without it.
    std::optional<ServerError> startTcp(TcpLimits limits = {});
    // Stops receiving and closes the sockets and connections, on the loop.
    void stop();
    // The bound port (useful when started on port 0), or 0 when not listening.
    uint16_t boundPort() const;
    // What the network handed out, from any thread: taken up on the loop.
    void setNetwork(ForwardRouter::Network network);
    ForwardRouter::View network() const { return router.view(); }

private:
    asio::io_context& loop;
    const LiveBlocklist& blocklist;
    std::string host;
    uint16_t port;
    Log log{LogChannels::server};
    DnsForwarder forwarder;
    DnsForwarder networkForwarder;  // to the network's own resolvers
    ForwardRouter router;
    QueryPipeline pipeline;
    std::shared_ptr<UdpListener> udp;
    std::shared_ptr<TcpConnectionSet> tcp;
};

}  // namespace vesk
