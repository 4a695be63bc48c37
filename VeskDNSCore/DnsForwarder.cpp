#include "DnsForwarder.hpp"

#include "VeskDNSCore/DeadlineQueue.hpp"
#include "VeskDNSCore/ForwarderCall.hpp"
#include "VeskDNSCore/ReadySet.hpp"
#include "VeskDNSCore/UpstreamSocket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>

#include <array>
#include <cerrno>
#include <cstring>

namespace vesk {
namespace {

const Log& log() { return forwarderLog(); }

// Datagrams read from one call's socket in one turn of the loop, so that a flood aimed
// at its port cannot keep the loop from everything else.
constexpr int receiveBatch = 16;

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
    setUpstreams(*list);
    if (readiness == Readiness::privateSet) {
        readySet = ReadySet::create(loop, [](const std::shared_ptr<void>& call) {
            receive(std::static_pointer_cast<Call>(call));
        });
    }
}

// Calls still under way are dropped unanswered: what they would call back may be gone.
// Each keeps itself alive until decided, so they are let go of here.
DnsForwarder::~DnsForwarder() {
    for (const auto& entry : deadlines->pending()) {
        auto call = std::static_pointer_cast<Call>(entry);
        call->decided = true;
        call->completion = nullptr;
        call->closeSocket();
        call->streams.clear();
        call->undecided.reset();
    }
}

void DnsForwarder::setUpstreams(std::vector<Upstream> upstreams) {
    list = std::make_shared<const std::vector<Upstream>>(std::move(upstreams));
    addresses.clear();
    for (const auto& upstream : *list) addresses.push_back(socketAddress(upstream.address, upstream.port));
}

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
    if (outcomes) call->outcome = &outcomes;
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
        int count = sendToEach(fd, call->query, addresses, next);
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
        ssize_t n = ::recvfrom(call->fd, forwarderReceiveBuffer, sizeof forwarderReceiveBuffer, MSG_DONTWAIT,
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
        offer(call, upstream->name, DnsMessage::View(forwarderReceiveBuffer, static_cast<size_t>(n)));
    }
}

// The socket reported an error of an earlier send (an upstream's refusal, say): each is
// logged against the upstream it came from where the error queue says which.
void DnsForwarder::reportRefusals(const Call& call, int error) {
    auto errors = takeSendErrors(call.fd);
    for (const auto& [to, cause] : errors) {
        const Upstream* upstream = upstreamAt(*call.upstreams, to);
        log().error("forwarder.recv_failed txid={} upstream={} err={}", call.label,
                    upstream ? upstream->name : addressText(to), std::strerror(cause));
    }
    if (errors.empty()) {
        log().error("forwarder.recv_failed txid={} upstream=* err={}", call.label, std::strerror(error));
    }
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
    if (call->outcome) (*call->outcome)(answer.has_value());
    call->completion(std::move(answer));
}

}  // namespace vesk
