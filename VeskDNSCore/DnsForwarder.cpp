#include "DnsForwarder.hpp"

#include "VeskDNSCore/DeadlineQueue.hpp"
#include "VeskDNSCore/ReadySet.hpp"
#include "VeskDNSCore/TcpFraming.hpp"
#include "VeskDNSCore/UpstreamSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/errqueue.h>
#endif

#include <asio/post.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

const Log& log() {
    static const Log instance(LogChannels::forwarder);
    return instance;
}

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // the daemon ignores SIGPIPE instead
#endif

// Datagrams read from one call's socket in one turn of the loop, so that a flood aimed
// at its port cannot keep the loop from everything else.
constexpr int receiveBatch = 16;

// Replies are read on the loop's one thread only.
uint8_t receiveBuffer[65536];

sockaddr_in socketAddress(const DnsForwarder::Upstream& upstream) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(upstream.port);
    to.sin_addr.s_addr = htonl(upstream.address);
    return to;
}

// Sends query from fd to the addresses from first on, as many as one call takes: all of
// them where the system can send several datagrams at once, else one. Returns how many
// went, or -1 with errno when the first could not.
int sendFrom(int fd, const DnsMessage::Bytes& query, const std::vector<sockaddr_in>& addresses,
             size_t first) {
#ifdef __linux__
    constexpr size_t most = 8;
    std::array<mmsghdr, most> messages{};
    iovec content{const_cast<uint8_t*>(query.data()), query.size()};
    size_t count = std::min(most, addresses.size() - first);
    for (size_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&addresses[first + i]);
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        messages[i].msg_hdr.msg_iov = &content;
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
#else
    const sockaddr_in& to = addresses[first];
    return ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) < 0 ? -1 : 1;
#endif
}

// The upstream that address and port belong to, or none.
const DnsForwarder::Upstream* upstreamAt(const std::vector<DnsForwarder::Upstream>& upstreams,
                                         const sockaddr_in& from) {
    if (from.sin_family != AF_INET) return nullptr;
    for (const auto& upstream : upstreams) {
        if (ntohl(from.sin_addr.s_addr) == upstream.address && ntohs(from.sin_port) == upstream.port) {
            return &upstream;
        }
    }
    return nullptr;
}

bool asksQuestion(DnsMessage::View reply, DnsMessage::View question) {
    auto asked = DnsMessage::questionOf(reply);
    return asked && DnsMessage::sameQuestion(*asked, question);
}

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return fmt::format("{}:{}", text, ntohs(address.sin_port));
}

}  // namespace

struct DnsForwarder::Call {
    ~Call() { closeSocket(); }

    // Everything of a call runs on the loop's one thread, which decides the race once.
    bool decided = false;
    // Over UDP: one socket, a fresh port, for every upstream; watched by the loop, or in
    // the ready set under the ticket.
    int fd = -1;
    std::optional<asio::ip::udp::socket> watched;
    std::shared_ptr<ReadySet> set;
    ReadySet::Ticket ticket = 0;
    asio::io_context* loop = nullptr;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> streams;  // over TCP: one each
    std::shared_ptr<const std::vector<Upstream>> upstreams;
    std::shared_ptr<const LoopTimer> clock;
    LoopTimer::Clock::time_point start;
    std::string label;
    std::optional<std::array<uint8_t, 2>> expectedId;
    // The query's question, as offsets into query; empty when it cannot be read, and
    // then the ID and the source alone decide.
    size_t questionSize = 0;
    DnsMessage::Bytes query;
    Completion completion;
    // Keeps an undecided call alive even when no upstream is still listening for it, so
    // that the deadline always finds it; dropped when the race is decided.
    std::shared_ptr<Call> undecided;

    DnsMessage::View question() const {
        return DnsMessage::View(query).subspan(DnsMessage::headerSize, questionSize);
    }
    void closeSocket() {
        if (watched) {
            asio::error_code ignored;
            watched->close(ignored);
            watched.reset();
        } else if (fd >= 0) {
            ::close(fd);  // which takes it out of the set
            set->forget(ticket);
        }
        fd = -1;
    }
};

std::vector<DnsForwarder::Upstream> DnsForwarder::defaultUpstreams() {
    std::vector<Upstream> out;
    for (const char* address : {"1.1.1.1", "9.9.9.9", "8.8.8.8"}) out.push_back(*upstream(address, 53));
    return out;
}

std::optional<DnsForwarder::Upstream> DnsForwarder::upstream(const std::string& address,
                                                             uint16_t port) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return std::nullopt;
    return Upstream{ntohl(parsed.s_addr), port, port == 53 ? address : address + ":" + std::to_string(port)};
}

DnsForwarder::DnsForwarder(asio::io_context& loop, std::vector<Upstream> upstreams,
                           std::chrono::duration<double> timeout, std::unique_ptr<LoopTimer> timer,
                           Readiness readiness)
    : context(loop),
      list(std::make_shared<const std::vector<Upstream>>(std::move(upstreams))),
      callTimeout(std::chrono::duration_cast<LoopTimer::Clock::duration>(timeout)),
      // An undecided call keeps itself alive, so its deadline always finds it.
      deadlines(std::make_shared<DeadlineQueue>(
          timer ? std::move(timer) : makeSteadyLoopTimer(loop),
          [](std::shared_ptr<void> call) { finish(std::static_pointer_cast<Call>(call), std::nullopt); })) {
    for (const auto& upstream : *list) addresses.push_back(socketAddress(upstream));
    if (readiness == Readiness::privateSet) {
        readySet = ReadySet::create(loop, [](const std::shared_ptr<void>& call) {
            receive(std::static_pointer_cast<Call>(call));
        });
    }
}

DnsForwarder::~DnsForwarder() = default;

void DnsForwarder::resolve(DnsMessage::Bytes query, Completion completion, Transport transport) {
    // Separate allocation: the deadline queue's weak references then keep only the
    // control block, not the call, alive for the timeout.
    std::shared_ptr<Call> call(new Call);
    call->loop = &context;
    call->upstreams = list;
    call->clock = deadlines->clock();
    call->start = call->clock->now();
    if (query.size() >= 2) {
        call->label = fmt::format("{:02x}{:02x}", query[0], query[1]);
        call->expectedId = std::array<uint8_t, 2>{query[0], query[1]};
    } else {
        call->label = "??";
    }
    if (auto question = DnsMessage::questionOf(query)) call->questionSize = question->size();
    call->query = std::move(query);
    call->completion = std::move(completion);
    call->undecided = call;
    log().info("forwarder.start txid={} upstreams={} bytes={}", call->label, list->size(),
               call->query.size());
    if (transport == Transport::tcp) {
        for (const auto& upstream : *list) raceOverTcp(call, upstream);
    } else if (!list->empty()) {
        raceOverUdp(call);
    }
    deadlines->add(call->start + callTimeout, call);
}

void DnsForwarder::raceOverUdp(const std::shared_ptr<Call>& call) {
    std::string error;
    int fd = openQuerySocket(error);
    if (fd >= 0 && readySet) {
        if (auto ticket = readySet->watch(fd, call)) {
            call->fd = fd;
            call->set = readySet;
            call->ticket = *ticket;
        } else {
            error = std::strerror(errno);
            ::close(fd);
        }
    } else if (fd >= 0 && watchOnLoop(call->watched.emplace(context), fd, error)) {
        call->fd = fd;
    }
    if (call->fd < 0) {
        call->watched.reset();
        for (const auto& upstream : *list) {
            log().error("forwarder.state_failed txid={} upstream={} err={}", call->label,
                        upstream.name, error);
        }
        return;
    }
    for (const auto& upstream : *list) {
        log().debug("forwarder.ready txid={} upstream={}", call->label, upstream.name);
    }
    bool sent = false;
    for (size_t next = 0; next < list->size();) {
        int count = sendFrom(fd, call->query, addresses, next);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            // The call failed on this upstream's datagram: the others may still go.
            log().error("forwarder.send_failed txid={} upstream={} err={}", call->label,
                        (*list)[next].name, std::strerror(errno));
            ++next;
            continue;
        }
        sent = true;
        next += static_cast<size_t>(count);
    }
    if (sent) wait(call);
}

void DnsForwarder::wait(const std::shared_ptr<Call>& call) {
    // In the ready set a socket stays watched until it is closed.
    if (!call->watched) return;
    call->watched->async_wait(asio::socket_base::wait_read, [call](const asio::error_code& error) {
        if (!error) receive(call);
    });
}

void DnsForwarder::receive(const std::shared_ptr<Call>& call) {
    for (int taken = 0; !call->decided; ++taken) {
        if (taken == receiveBatch) {
            // More may wait, and readiness comes on edges: come back after the rest.
            asio::post(*call->loop, [call] {
                if (!call->decided) receive(call);
            });
            return;
        }
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(call->fd, receiveBuffer, sizeof receiveBuffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(call);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reportRefusals(*call, errno);
            continue;
        }
        const Upstream* upstream = upstreamAt(*call->upstreams, from);
        if (upstream == nullptr) {
            // Not one we asked: a stray, or someone guessing our port.
            log().error("forwarder.foreign_reply txid={} from={}", call->label, addressText(from));
            continue;
        }
        offer(call, upstream->name, DnsMessage::View(receiveBuffer, static_cast<size_t>(n)));
    }
}

// The socket reported an error of an earlier send (an upstream's refusal, say): each is
// logged against the upstream it came from where the error queue says which.
void DnsForwarder::reportRefusals(const Call& call, int error) {
    bool attributed = false;
#if defined(__linux__) && defined(IP_RECVERR)
    for (;;) {
        sockaddr_in to{};  // where the refused datagram was going
        alignas(cmsghdr) char control[256];
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(call.fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
        int cause = error;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) {
                sock_extended_err extended{};
                std::memcpy(&extended, CMSG_DATA(c), sizeof extended);
                cause = static_cast<int>(extended.ee_errno);
            }
        }
        const Upstream* upstream = upstreamAt(*call.upstreams, to);
        log().error("forwarder.recv_failed txid={} upstream={} err={}", call.label,
                    upstream ? upstream->name : addressText(to), std::strerror(cause));
        attributed = true;
    }
#endif
    if (!attributed) {
        log().error("forwarder.recv_failed txid={} upstream=* err={}", call.label, std::strerror(error));
    }
}

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
            ssize_t n = ::recv(fd, receiveBuffer, sizeof receiveBuffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return wait(asio::socket_base::wait_read);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                log().error("forwarder.recv_failed txid={} upstream={} err={}", call->label, name,
                            n == 0 ? "connection closed" : std::strerror(errno));
                return;
            }
            in.append(receiveBuffer, static_cast<size_t>(n), call->clock->now());
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

void DnsForwarder::offer(const std::shared_ptr<Call>& call, const std::string& upstream,
                         DnsMessage::View reply) {
    if (reply.size() < DnsMessage::headerSize) {
        log().error("forwarder.recv_short txid={} upstream={} bytes={}", call->label, upstream,
                    reply.size());
    } else if (call->expectedId && (reply[0] != (*call->expectedId)[0] ||
                                    reply[1] != (*call->expectedId)[1])) {
        log().error("forwarder.txid_mismatch txid={} upstream={}", call->label, upstream);
    } else if (call->questionSize != 0 && !asksQuestion(reply, call->question())) {
        log().error("forwarder.question_mismatch txid={} upstream={}", call->label, upstream);
    } else {
        log().info("forwarder.recv_ok txid={} upstream={} bytes={}", call->label, upstream,
                   reply.size());
        finish(call, DnsMessage::Bytes(reply.begin(), reply.end()));
    }
}

void DnsForwarder::finish(const std::shared_ptr<Call>& call, std::optional<DnsMessage::Bytes> answer) {
    if (call->decided) return;
    call->decided = true;
    auto keep = std::move(call->undecided);  // the call lives to the end of this
    call->closeSocket();
    asio::error_code ignored;
    for (auto& stream : call->streams) stream->close(ignored);
    call->streams.clear();
    double elapsed = std::chrono::duration<double>(call->clock->now() - call->start).count();
    if (answer) {
        log().info("forwarder.win txid={} elapsed={:.3f}s", call->label, elapsed);
    } else {
        log().error("forwarder.timeout txid={} elapsed={:.3f}s — caller will SERVFAIL", call->label,
                    elapsed);
    }
    call->completion(std::move(answer));
}

}  // namespace vesk
