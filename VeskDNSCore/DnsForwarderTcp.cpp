#include "VeskDNSCore/DnsForwarder.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "VeskDNSCore/ForwarderCall.hpp"
#include "VeskDNSCore/TcpFraming.hpp"
#include "VeskDNSCore/UpstreamSocket.hpp"

// Forwarding a query that came over TCP: over TCP to every upstream.

namespace vesk {
namespace {

const Log& log() { return forwarderLog(); }

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // the daemon ignores SIGPIPE instead
#endif

}  // namespace

// One upstream's TCP exchange for a call: connect, write the framed query (short writes
// continued), read one framed reply.
struct DnsForwarder::Exchange : std::enable_shared_from_this<Exchange> {
    std::shared_ptr<Call> call;
    asio::ip::tcp::socket* socket;  // owned by the call until the race is decided
    int fd;
    std::string name;
    DnsMessage::Bytes out;
    size_t written = 0;
    FrameReader in;
    bool connected = false;

    void wait(asio::socket_base::wait_type type) {
        socket->async_wait(type, [self = shared_from_this(), type](const asio::error_code& error) {
            if (self->call->decided || error) return;
            if (type == asio::socket_base::wait_write) {
                self->writeQuery();
            } else {
                self->readReply();
            }
        });
    }

    void writeQuery() {
        if (!connected) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                log().error("forwarder.state_failed txid={} upstream={} err={}", call->label, name,
                            std::strerror(error));
                return;
            }
            connected = true;
            log().debug("forwarder.ready txid={} upstream={}", call->label, name);
        }
        while (written < out.size()) {
            ssize_t n = ::send(fd, out.data() + written, out.size() - written, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(asio::socket_base::wait_write);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                log().error("forwarder.send_failed txid={} upstream={} err={}", call->label, name,
                            std::strerror(errno));
                return;
            }
            written += static_cast<size_t>(n);
        }
        wait(asio::socket_base::wait_read);
    }

    void readReply() {
        while (!call->decided) {
            ssize_t n = ::recv(fd, forwarderReceiveBuffer, sizeof forwarderReceiveBuffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(asio::socket_base::wait_read);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                log().error("forwarder.recv_failed txid={} upstream={} err={}", call->label, name,
                            n == 0 ? "connection closed" : std::strerror(errno));
                return;
            }
            in.append(forwarderReceiveBuffer, static_cast<size_t>(n), call->clock->now());
            // Replies that do not answer are passed over; the upstream may still answer.
            while (!call->decided) {
                auto reply = in.next();
                if (!reply) break;
                offer(call, name, *reply);
            }
        }
    }
};

void DnsForwarder::raceOverTcp(const std::shared_ptr<Call>& call, const Upstream& upstream) {
    auto framedQuery = framed(call->query);
    if (!framedQuery) {
        log().error("forwarder.state_failed txid={} upstream={} err=query too long for TCP",
                    call->label, upstream.name);
        return;
    }
    std::string error;
    auto socket = connectUpstream(context, upstream.address, upstream.port, error);
    if (!socket) {
        log().error("forwarder.state_failed txid={} upstream={} err={}", call->label, upstream.name, error);
        return;
    }
    auto exchange = std::make_shared<Exchange>();
    exchange->call = call;
    exchange->socket = socket.get();
    exchange->fd = socket->native_handle();
    exchange->name = upstream.name;
    exchange->out = std::move(*framedQuery);
    call->streams.push_back(std::move(socket));
    exchange->wait(asio::socket_base::wait_write);  // writable once connected
}

}  // namespace vesk
