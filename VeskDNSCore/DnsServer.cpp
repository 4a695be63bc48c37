#include "DnsServer.hpp"

#include <asio/post.hpp>

namespace vesk {

DnsServer::DnsServer(asio::io_context& dnsLoop, const LiveBlocklist& list, std::string bindHost,
                     uint16_t bindPort, std::vector<BlockSubscriber*> blockSubscribers,
                     std::vector<DnsForwarder::Upstream> upstreams,
                     std::chrono::duration<double> timeout, Hooks hooks)
    : loop(dnsLoop),
      blocklist(list),
      host(std::move(bindHost)),
      port(bindPort),
      forwarder(dnsLoop, std::move(upstreams), timeout),
      networkForwarder(dnsLoop, {}, timeout),
      router({forwarder, networkForwarder, [] { return std::chrono::steady_clock::now(); },
              [] { return std::chrono::system_clock::now(); }, std::move(hooks.relearnNetwork), hooks.probeEvery}),
      pipeline(list, router, std::move(blockSubscribers), hooks.canary, std::chrono::system_clock::now,
               std::move(hooks.retire)),
      udp(std::make_shared<UdpListener>(dnsLoop, pipeline)) {}

DnsServer::~DnsServer() = default;

void DnsServer::start() {
    udp->start(host, port);
    log.info("dnsd listening on {}:{} — {} domains blocked", host, port, blocklist.current()->count());
}

std::optional<ServerError> DnsServer::startTcp(TcpLimits limits) {
    auto set = std::make_shared<TcpConnectionSet>(loop, pipeline, limits);
    auto error = set->start(host, port == 0 ? boundPort() : port);
    if (!error) tcp = std::move(set);
    return error;
}

void DnsServer::stop() {
    asio::post(loop, [udp = std::weak_ptr(udp), tcp = std::weak_ptr(tcp)] {
        if (auto listener = udp.lock()) listener->stop();
        if (auto set = tcp.lock()) set->stop();
    });
}

uint16_t DnsServer::boundPort() const { return udp->boundPort(); }

void DnsServer::setNetwork(ForwardRouter::Network network) {
    asio::post(loop, [this, network = std::move(network)] {
        networkForwarder.setUpstreams(network.resolvers);
        router.setNetwork(network);
    });
}

}  // namespace vesk
