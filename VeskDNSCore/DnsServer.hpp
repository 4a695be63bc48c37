#pragma once

#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <random>
#include <string>

#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DnsForwarder.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

// The DNS listener: one IPv4 UDP socket, drained on the DNS loop. Each datagram is
// answered locally (NXDOMAIN for bypass hosts and blocked names, a CNAME for search
// engines with a safe-search host) or forwarded, with SERVFAIL when no upstream answers.
// Create it with std::make_shared: its handlers refer to it weakly.
class DnsServer : public std::enable_shared_from_this<DnsServer> {
public:
    class ServerError : public std::exception {
    public:
        enum class Kind { socketFailed, bindFailed };
        ServerError(Kind kind, int error);
        Kind kind() const { return errorKind; }
        int error() const { return errorNumber; }
        // "bind() failed: errno 98 (Address already in use)"
        const std::string& description() const { return text; }
        const char* what() const noexcept override { return text.c_str(); }

    private:
        Kind errorKind;
        int errorNumber;
        std::string text;
    };

    DnsServer(asio::io_context& dnsLoop, const Blocklist& list, std::string bindHost,
              uint16_t bindPort, BlockEventLog* events,
              std::vector<DnsForwarder::Upstream> upstreams = DnsForwarder::defaultUpstreams(),
              std::chrono::duration<double> timeout = std::chrono::duration<double>(2.0));
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    // Opens, binds and starts receiving; throws ServerError. Call from any thread before
    // the loop runs, or on the loop.
    void start();
    // Stops receiving and closes the socket (on the loop).
    void stop();
    // The bound port (useful when started on port 0), or 0 when not listening.
    uint16_t boundPort() const;

private:
    void armRead();
    void drain();
    void handle(DnsMessage::Bytes query, const sockaddr_storage& client, socklen_t clientLength);
    void answerSafeSearch(const DnsMessage::Bytes& query, DnsMessage::Bytes cname,
                          std::string_view target, const sockaddr_storage& client,
                          socklen_t clientLength);
    void forward(DnsMessage::Bytes query, const sockaddr_storage& client, socklen_t clientLength);
    void send(const DnsMessage::Bytes& data, const sockaddr_storage& to, socklen_t length) const;

    asio::io_context& loop;
    const Blocklist& blocklist;
    DnsForwarder forwarder;
    // The alert reporter joins here when it exists; until then blocks are only logged
    // and recorded.
    BlockEventLog* blockLog;
    std::string host;
    uint16_t port;
    Log log{"app.quorran.tarnik.dnsd", "server"};
    int fd = -1;
    std::unique_ptr<asio::ip::udp::socket> source;  // readiness of fd on the loop
    std::minstd_rand queryIds{std::random_device{}()};
};

}  // namespace vesk
