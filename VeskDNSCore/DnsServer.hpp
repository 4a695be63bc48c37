#pragma once

#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <cstdint>
#include <exception>
#include <list>
#include <optional>
#include <memory>
#include <random>
#include <string>

#include "VeskDNSCore/BlockEventLog.hpp"
#include "VeskDNSCore/Blocklist.hpp"
#include "VeskDNSCore/DnsForwarder.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

// The DNS listener: one IPv4 UDP socket and a TCP listener on the same address and port,
// served on the DNS loop. Each query is
// answered locally (NXDOMAIN for bypass hosts and blocked names, a CNAME for search
// engines with a safe-search host) or forwarded, with SERVFAIL when no upstream answers.
// Create it with std::make_shared: its handlers refer to it weakly.
class DnsServer : public std::enable_shared_from_this<DnsServer> {
public:
    class ServerError : public std::exception {
    public:
        enum class Kind { socketFailed, bindFailed, listenFailed };
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

    // Limits for DNS over TCP.
    struct TcpLimits {
        size_t maxConnections = 256;  // beyond this the longest idle one is closed
        std::chrono::milliseconds idleTimeout{10000};
        std::chrono::milliseconds messageDeadline{10000};  // from a message's first byte
        size_t maxPendingOutput = 256 * 1024;  // a client that does not read is dropped
    };

    // Opens, binds and starts receiving over UDP; throws ServerError. Call before the
    // loop runs, or on the loop.
    void start();
    // The same over TCP on the same address and port; an error is returned, not thrown,
    // since UDP serving goes on without it.
    std::optional<ServerError> startTcp();
    std::optional<ServerError> startTcp(TcpLimits limits);
    // Stops receiving and closes the sockets and connections (on the loop).
    void stop();
    // The bound port (useful when started on port 0), or 0 when not listening.
    uint16_t boundPort() const;
    size_t tcpConnectionCount() const;

private:
    struct TcpConnection;
    // Where one query's answer goes: a UDP client's address, or a TCP connection.
    struct Client {
        sockaddr_storage address{};
        socklen_t length = 0;
        std::weak_ptr<TcpConnection> connection;
        bool overTcp = false;
    };

    // Runs member on the loop after what is queued there now, if the server still exists.
    void later(void (DnsServer::*member)());
    template <typename Work>
    void guarded(Work&& work);
    void armRead();
    void drain();
    void armAccept();
    void acceptAll();
    void readConnection(const std::shared_ptr<TcpConnection>& connection);
    void flush(const std::shared_ptr<TcpConnection>& connection);
    void armIdleTimer(const std::shared_ptr<TcpConnection>& connection);
    void closeConnection(const std::shared_ptr<TcpConnection>& connection);
    static DnsForwarder::Transport transportFor(const Client& client);
    void handle(DnsMessage::Bytes query, const Client& client);
    void answerSafeSearch(const DnsMessage::Bytes& query, DnsMessage::Bytes cname,
                          std::string_view target, const Client& client);
    void forward(DnsMessage::Bytes query, const Client& client);
    void send(const DnsMessage::Bytes& data, const Client& client);

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
    std::unique_ptr<asio::ip::tcp::acceptor> listener;
    TcpLimits tcpLimits;
    std::list<std::shared_ptr<TcpConnection>> connections;  // in the order they came
    std::minstd_rand queryIds{std::random_device{}()};
};

}  // namespace vesk
