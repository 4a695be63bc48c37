#include "ControlServer.hpp"

#include <fcntl.h>

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <array>
#include <cerrno>
#include <limits>
#include <variant>

#include "VeskPlatform/OnLoop.hpp"

namespace vesk {

// One connection: read until a request parses (or the deadline passes), route it on the
// pool (GET /status on its lane), write the whole answer, close. Everything but the route
// runs on the loop; malformed framing is answered there.
class ControlServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ControlServer& owner, asio::ip::tcp::socket accepted)
        : server(owner), socket(std::move(accepted)), deadline(owner.loop) {}

    void start() {
        armDeadline();
        read();
    }

    // Every connection ends here, on the loop (the last reference may go on the pool).
    void close() {
        server.connections.remove(this);
        deadline.cancel();
        asio::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

private:
    void armDeadline() {
        deadline.expires_after(server.limits.deadline);
        deadline.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
            if (auto self = weak.lock(); self && !ec) self->close();
        });
    }

    void read() {
        socket.async_read_some(asio::buffer(chunk), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
            self->received(ec, n);
        });
    }

    void received(const asio::error_code& ec, size_t n) {
        if (ec) return close();
        data.append(chunk.data(), n);
        auto parsed = ControlHttp::parse(data);
        if (auto* request = std::get_if<ControlRequest>(&parsed)) {
            deadline.cancel();  // the route may take its time
            data.clear();
            dispatch(std::move(*request));
        } else if (std::holds_alternative<ControlHttp::Malformed>(parsed)) {
            server.connections.busy(this);
            write(ControlHttp::json(400, {{"error", "bad_request"}}));
        } else if (data.size() > server.limits.largestRequest) {
            close();
        } else {
            read();
        }
    }

    void dispatch(ControlRequest request) {
        server.connections.busy(this);
        bool status = ControlRoutes::isStatus(request);
        auto route = [self = shared_from_this(), request = std::move(request)] {
            std::string response;
            try {
                response = self->server.routes.route(request);
            } catch (const std::exception& error) {
                self->server.log.error("control route {} {} failed: {}", request.method, request.path, error.what());
            }
            asio::post(self->server.loop, [self, response = std::move(response)]() mutable {
                if (response.empty()) return self->close();
                self->write(std::move(response));
            });
        };
        if (status) {
            server.statusLane.async(std::move(route));
        } else {
            server.pool.submit(std::move(route));
        }
    }

    // The whole answer goes, however small the peer's window, unless the peer goes away
    // or the deadline passes first.
    void write(std::string response) {
        answer = std::move(response);
        armDeadline();
        asio::async_write(socket, asio::buffer(answer), [self = shared_from_this()](const asio::error_code&, size_t) {
            self->close();
        });
    }

    ControlServer& server;
    asio::ip::tcp::socket socket;
    asio::steady_timer deadline;
    std::array<char, 4096> chunk{};
    std::string data;
    std::string answer;
};

ControlServer::ControlServer(ControlRoutes& controlRoutes, BlockingPool& workPool, uint16_t port, Limits serverLimits)
    : routes(controlRoutes), pool(workPool), requestedPort(port), limits(serverLimits) {}

ControlServer::~ControlServer() { stop(); }

void ControlServer::start() {
    auto bound = listenOn<asio::ip::tcp::acceptor>(loop, "127.0.0.1", requestedPort);
    if (auto* error = std::get_if<ServerError>(&bound)) throw *error;
    acceptor = std::move(std::get<std::unique_ptr<asio::ip::tcp::acceptor>>(bound));
    boundPort = boundPortOf(acceptor->native_handle());
    log.info("control API on 127.0.0.1:{}", boundPort);
    accept();
    thread = std::thread([this] { runLoopLogged(loop, log, "control loop"); });
}

void ControlServer::stop() {
    if (!thread.joinable()) return;
    asio::post(loop, [this] {
        asio::error_code ignored;
        acceptor->close(ignored);
        backOff.cancel();
        for (auto* connection : connections.all()) connection->close();
        loop.stop();
    });
    thread.join();
    statusLane.stop(SerialQueue::Due::drop);
}

void ControlServer::accept() {
    if (!descriptorsToSpare()) {
        backOff.expires_after(limits.acceptBackOff);
        backOff.async_wait([this](const asio::error_code& ec) {
            if (!ec) accept();
        });
        return;
    }
    acceptor->async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec) return acceptFailed(ec);
        if (budget > 0) --budget;
        admit(std::move(socket));
        accept();
    });
}

void ControlServer::admit(asio::ip::tcp::socket socket) {
    // No tool the daemon runs may inherit a connection.
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
    auto connection = std::make_shared<Connection>(*this, std::move(socket));
    auto admission = connections.admit(connection.get());
    if (admission.evicted) (*admission.evicted)->close();
    if (admission.admitted) {
        connection->start();
    } else {
        connection->close();
    }
}

bool ControlServer::descriptorsToSpare() {
    if (budget > 0) return true;
    auto use = limits.descriptors();
    budget = use ? vesk::descriptorBudget(use->open, use->limit) : std::numeric_limits<size_t>::max();
    if (budget == 0 && !paused) {
        log.error("control API paused: {} of {} descriptors open, a tenth kept free for DNS", use->open, use->limit);
    } else if (budget > 0 && paused) {
        log.info("control API accepting again");
    }
    paused = budget == 0;
    return !paused;
}

// Running out of descriptors or memory passes; only a listening socket that is gone ends
// accepting for good.
void ControlServer::acceptFailed(const asio::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    int code = error.value();
    if (code == EBADF || code == EINVAL || code == ENOTSOCK) {
        log.error("control API stopped accepting: {}", error.message());
        return;
    }
    log.error("control API accept failed: {} — retrying", error.message());
    backOff.expires_after(limits.acceptBackOff);
    backOff.async_wait([this](const asio::error_code& ec) {
        if (!ec) accept();
    });
}

}  // namespace vesk
