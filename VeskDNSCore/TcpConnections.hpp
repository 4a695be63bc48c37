#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "VeskPlatform/ListenSocket.hpp"
#include "VeskDNSCore/QueryPipeline.hpp"
#include "VeskDNSCore/LogChannels.hpp"

namespace vesk {

// DNS over TCP on the DNS loop: the listener and its connections. Each connection takes
// framed queries, hands them to the pipeline and writes the answers back framed as they
// complete, in any order. Create it with std::make_shared: its handlers refer to it weakly.
class TcpConnectionSet : public std::enable_shared_from_this<TcpConnectionSet> {
public:
    struct Limits {
        size_t maxConnections = 256;  // beyond this the longest idle one is closed
        std::chrono::milliseconds idleTimeout{10000};
        std::chrono::milliseconds messageDeadline{10000};  // from a message's first byte
        size_t maxPendingOutput = 256 * 1024;  // a client that does not read is dropped
    };

    // The handler must outlive the set.
    TcpConnectionSet(asio::io_context& loop, QueryHandler& handler, Limits limits);
    ~TcpConnectionSet();

    // Binds and listens; the error is returned, since UDP is served without TCP.
    std::optional<ServerError> start(const std::string& host, uint16_t port);
    // On the loop: closes the listener and every connection.
    void stop();
    uint16_t boundPort() const { return listener ? boundPortOf(listener->native_handle()) : 0; }
    // On the loop.
    size_t connectionCount() const { return connections.size(); }

private:
    class Connection;

    void armAccept();
    void acceptAll();
    void retryAcceptSoon();
    void admit(int accepted);
    void read(const std::shared_ptr<Connection>& connection);
    void flush(const std::shared_ptr<Connection>& connection);
    void armTimer(const std::shared_ptr<Connection>& connection);
    void close(const std::shared_ptr<Connection>& connection);

    asio::io_context& loop;
    QueryHandler& handler;
    const Limits limits;
    Log log{LogChannels::server};
    std::unique_ptr<asio::ip::tcp::acceptor> listener;
    std::list<std::shared_ptr<Connection>> connections;  // in the order they came
};

}  // namespace vesk
