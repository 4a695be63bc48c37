#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "VeskControl/ConnectionLimits.hpp"
#include "VeskControl/ControlRoutes.hpp"
#include "VeskPlatform/BlockingPool.hpp"
#include "VeskPlatform/Descriptors.hpp"
#include "VeskPlatform/ListenSocket.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"

namespace vesk {

// The loopback HTTP/1.1 control API: one request per connection, answered with JSON and
// closed. Connections are read and written on a loop of the server's own, so idle ones
// cost a descriptor each and no thread; a parsed request's route runs on the blocking
// pool, since routes run tools and wait on the backend. Any local process may connect, so
// connections are capped and a reserve of descriptors is left to the DNS path.
class ControlServer {
public:
    struct Limits {
        // A connection must deliver its whole request this soon after it is accepted, and
        // take its answer this soon after it is written.
        std::chrono::milliseconds deadline = std::chrono::seconds(10);
        // How long to wait before accepting again after a transient failure (no
        // descriptors, no memory), and before counting descriptors again while paused.
        std::chrono::milliseconds acceptBackOff = std::chrono::milliseconds(100);
        // Beyond this many bytes a request that has not parsed is given up.
        size_t largestRequest = 999'999;
        // Open connections at most; a new one takes the place of the oldest idle one.
        size_t mostConnections = 1024;
        // The process's descriptors, for the reserve; none: not known, no reserve kept.
        std::function<std::optional<DescriptorUse>()> descriptors = descriptorUse;
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
    void admit(asio::ip::tcp::socket socket);
    // Whether a descriptor may be taken now, counting them again when the last count's
    // budget is spent.
    bool descriptorsToSpare();

    ControlRoutes& routes;
    BlockingPool& pool;
    const uint16_t requestedPort;
    const Limits limits;
    uint16_t boundPort = 0;
    Log log{LogChannels::control};
    // The connections not yet closed, so that stop can close them; the loop's alone, as
    // are the two below.
    ConnectionCap<Connection*> connections{limits.mostConnections};
    size_t budget = 0;            // descriptors to take before counting again
    bool paused = false;          // not accepting until descriptors free up
    // GET /status has a thread of its own rather than the pool: however long other routes
    // keep the pool's threads (a backend that never answers, tools), the companion's poll
    // is answered. It runs the status route whole there, relay probe included, rather
    // than answering from the loop with the last probe and refreshing it aside: that
    // way the answer is never older than the probe's 15-second cache (nor made up before
    // the first probe), and the loop never runs a tool. A hung probe holds up only
    // status, and only until the tool runner's limit kills it.
    SerialQueue statusLane{"app.quorran.tarnik.dnsd.control.status"};
    asio::io_context loop{1};
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    asio::steady_timer backOff{loop};
    std::thread thread;
};

}  // namespace vesk
