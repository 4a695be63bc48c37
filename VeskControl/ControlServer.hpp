#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <unordered_set>

#include "VeskControl/ControlRoutes.hpp"
#include "VeskPlatform/ListenSocket.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Log.hpp"

namespace vesk {

// The loopback HTTP/1.1 control API: one request per connection, answered with JSON and
// closed. Connections are read and written on a loop of the server's own, so idle ones
// cost a descriptor each and no thread; a parsed request's route runs on the blocking
// pool, since routes run tools and wait on the backend.
class ControlServer {
public:
    struct Limits {
        // A connection must deliver its whole request this soon after it is accepted, and
        // take its answer this soon after it is written.
        std::chrono::milliseconds deadline = std::chrono::seconds(10);
        // How long to wait before accepting again after a transient failure (no
        // descriptors, no memory).
        std::chrono::milliseconds acceptBackOff = std::chrono::milliseconds(100);
        // Beyond this many bytes a request that has not parsed is given up.
        size_t largestRequest = 999'999;
    };

    ControlServer(ControlRoutes& controlRoutes, BlockingPool& workPool, uint16_t port, Limits serverLimits);
    ControlServer(ControlRoutes& controlRoutes, BlockingPool& workPool, uint16_t port)
        : ControlServer(controlRoutes, workPool, port, Limits{}) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens on 127.0.0.1 and starts accepting; throws ServerError when it cannot.
    void start();
    // Stops accepting and closes every connection. Routes still running on the pool
    // finish there; their answers are dropped.
    void stop();
    // The port listened on (the one asked for, or the system's pick for 0).
    uint16_t port() const { return boundPort; }

private:
    class Connection;
    void accept();
    void acceptFailed(const asio::error_code& error);

    ControlRoutes& routes;
    BlockingPool& pool;
    const uint16_t requestedPort;
    const Limits limits;
    uint16_t boundPort = 0;
    Log log{LogChannels::control};
    // The connections not yet closed, so that stop can close them; the loop's alone.
    std::unordered_set<Connection*> open;
    asio::io_context loop{1};
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    asio::steady_timer backOff{loop};
    std::thread thread;
};

}  // namespace vesk
