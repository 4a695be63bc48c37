// One DNS query over UDP and its reply, encoded and read by hand: the simulated host links
// none of the daemon's code. A reply that is cut short or garbled counts as none.

#include "DnsQuery.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "Host.hpp"

namespace vesk::hostsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr auto replyWait = std::chrono::seconds(2);
constexpr size_t headerSize = 12;

// A standard query for the name's A records with recursion desired; none when the name
// cannot be put on the wire (an empty label, a label over 63 bytes, over 255 in all).
std::optional<Bytes> encodeQuery(const std::string& name, uint16_t id) {
    Bytes query = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    if (!name.empty()) {
        for (auto label : split(name, ".")) {
            if (label.empty() || label.size() > 63) return std::nullopt;
            query.push_back(static_cast<uint8_t>(label.size()));
            query.insert(query.end(), label.begin(), label.end());
        }
    }
    query.push_back(0);
    if (query.size() - headerSize > 255) return std::nullopt;
    query.insert(query.end(), {0, 1, 0, 1});  // type A, class IN
    return query;
}

std::optional<uint16_t> read16(const Bytes& message, size_t& at) {
    if (at + 2 > message.size()) return std::nullopt;
    auto value = static_cast<uint16_t>(message[at] << 8 | message[at + 1]);
    at += 2;
    return value;
}

// Moves past a name: its labels up to the root label or a compression pointer.
bool skipName(const Bytes& message, size_t& at) {
    while (at < message.size()) {
        uint8_t length = message[at];
        if ((length & 0xC0) == 0xC0) return (at += 2) <= message.size();
        if ((length & 0xC0) != 0) return false;
        at += 1u + length;
        if (length == 0) return true;
    }
    return false;
}

// The addresses in the reply's A and AAAA answers; none when the reply is not whole.
std::optional<std::vector<Address>> answersOf(const Bytes& reply) {
    size_t at = 4;
    auto questions = read16(reply, at), count = read16(reply, at);
    at = headerSize;
    if (!questions || !count || reply.size() < headerSize) return std::nullopt;
    for (unsigned i = 0; i < *questions; ++i) {
        if (!skipName(reply, at) || (at += 4) > reply.size()) return std::nullopt;
    }
    std::vector<Address> found;
    for (unsigned i = 0; i < *count; ++i) {
        if (!skipName(reply, at)) return std::nullopt;
        auto type = read16(reply, at), klass = read16(reply, at);
        at += 4;  // the TTL
        auto length = read16(reply, at);
        if (!type || !klass || !length || at + *length > reply.size()) return std::nullopt;
        int family = *type == 1 && *length == 4 ? AF_INET : *type == 28 && *length == 16 ? AF_INET6 : 0;
        if (family != 0 && *klass == 1) {
            char text[INET6_ADDRSTRLEN];
            ::inet_ntop(family, reply.data() + at, text, sizeof text);
            found.push_back({family == AF_INET6, text});
        }
        at += *length;
    }
    return found;
}

Result interpret(const Bytes& reply) {
    int code = reply[3] & 0x0F;
    if (code == 3) return {{}, "NXDOMAIN"};
    if (code != 0) return {{}, "rcode " + std::to_string(code)};
    auto addresses = answersOf(reply);
    if (!addresses) return {{}, "malformed reply"};
    std::string outcome = counted(addresses->size());
    return {std::move(*addresses), outcome};
}

class Descriptor {
public:
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

// One query in one datagram, and its reply if one comes in time.
Result askOverUdp(const sockaddr_in& server, const std::string& name) {
    auto id = static_cast<uint16_t>(std::random_device()());
    auto query = encodeQuery(canonical(name), id);
    if (!query) return {{}, "not a name that can be asked"};
    Descriptor socket(::socket(AF_INET, SOCK_DGRAM, 0));  // this process runs nothing else
    // Connected, so that the kernel passes on only datagrams from the server's address and port.
    if (socket.get() < 0 || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 ||
        ::send(socket.get(), query->data(), query->size(), 0) < 0) {
        return {{}, std::string("cannot send: ") + std::strerror(errno)};
    }
    Bytes reply(65536);
    for (auto deadline = std::chrono::steady_clock::now() + replyWait;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{socket.get(), POLLIN, 0};
        int polled = left.count() > 0 ? ::poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return {{}, "no reply within 2 s"};
        ssize_t n = ::recv(socket.get(), reply.data(), reply.size(), 0);
        if (n < 0 && errno == ECONNREFUSED) return {{}, "port unreachable"};
        if (n < 0) continue;
        Bytes received(reply.begin(), reply.begin() + n);
        // A datagram that is not this query's reply is passed over: the reply may still come.
        bool isReply = received.size() >= headerSize && (received[2] & 0x80) != 0;
        if (!isReply || (received[0] << 8 | received[1]) != id) continue;
        return interpret(received);
    }
}

}  // namespace

std::string canonical(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

std::string counted(size_t addresses) {
    return std::to_string(addresses) + (addresses == 1 ? " address" : " addresses");
}

Result askServer(const std::string& server, uint16_t port, const std::string& name) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, server.c_str(), &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
        return {{}, server + " is not reached on the simulated network: no query sent for " + name};
    }
    // Tests cannot run a server on port 53.
    const char* testPort = std::getenv("VESK_HOSTSIM_DNS_PORT");
    if (ntohl(address.sin_addr.s_addr) == INADDR_LOOPBACK && testPort != nullptr) {
        if (auto chosen = decimal(testPort); chosen && *chosen > 0 && *chosen <= 65535) port = static_cast<uint16_t>(*chosen);
    }
    address.sin_port = htons(port);
    Result result = askOverUdp(address, name);
    result.outcome = "asked " + server + ":" + std::to_string(port) + " for " + name + ": " + result.outcome;
    return result;
}

}  // namespace vesk::hostsim
