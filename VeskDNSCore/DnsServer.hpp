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

    // The live list, block subscribers and the canary must outlive the server; a list the
    // loop lets go of is handed to retire, so that freeing it costs the loop nothing.
    DnsServer(asio::io_context& dnsLoop, const LiveBlocklist& list, std::string bindHost,
              uint16_t bindPort, std::vector<BlockSubscriber*> blockSubscribers,
              std::vector<DnsForwarder::Upstream> upstreams = DnsForwarder::defaultUpstreams(),
              std::chrono::duration<double> timeout = std::chrono::duration<double>(2.0),
              Canary* canary = nullptr, LiveBlocklist::Reader::Retire retire = nullptr);
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

private:
    asio::io_context& loop;
    const LiveBlocklist& blocklist;
    std::string host;
    uint16_t port;
    Log log{LogChannels::server};
    DnsForwarder forwarder;
    QueryPipeline pipeline;
    std::shared_ptr<UdpListener> udp;
    std::shared_ptr<TcpConnectionSet> tcp;
};

}  // namespace vesk
