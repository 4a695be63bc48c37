// dscacheutil -q host: a lookup through the host's own resolver, made as the Mac makes it:
// a per-domain resolver file, else /etc/hosts, else the primary network service's server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Address {
    bool v6;
    std::string text;
};

// What came of one source: its addresses, and a few words on how they came or why none did.
struct Result {
    std::vector<Address> addresses;
    std::string outcome;
};

constexpr auto replyWait = std::chrono::seconds(2);
constexpr size_t headerSize = 12;

// Names compare without regard to case or one trailing dot.
std::string canonical(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!name.empty() && name.back() == '.') name.pop_back();
    return name;
}

// Whether domain is the name or one of its parents ("" is the root, everyone's parent).
bool within(const std::string& name, const std::string& domain) {
    if (domain.empty() || name == domain) return true;
    return name.size() > domain.size() && name.ends_with(domain) && name[name.size() - domain.size() - 1] == '.';
}

std::optional<Address> parseAddress(const std::string& text) {
    in6_addr any{};
    if (::inet_pton(AF_INET, text.c_str(), &any) == 1) return Address{false, text};
    if (::inet_pton(AF_INET6, text.c_str(), &any) == 1) return Address{true, text};
    return std::nullopt;
}

// The words of each line of the file, comments (from '#') left out; blank lines skipped.
std::vector<std::vector<std::string>> wordsOf(const std::string& path) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream text(readFile(path).value_or(""));
    for (std::string line; std::getline(text, line);) {
        std::istringstream in(line.substr(0, line.find('#')));
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        if (!words.empty()) lines.push_back(std::move(words));
    }
    return lines;
}

std::string counted(size_t addresses) {
    return std::to_string(addresses) + (addresses == 1 ? " address" : " addresses");
}

// --- The query on the wire ---

// A standard query for the name's A records with recursion desired; none when the name
// cannot be put on the wire (an empty label, a label over 63 bytes, over 255 in all).
std::optional<Bytes> encodeQuery(const std::string& name, uint16_t id) {
    Bytes query = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    if (!name.empty()) {
        for (const auto& label : split(name, '.')) {
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
    Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
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

// Asks the server as the simulated network lets it: a server off this machine is never
// reached, so it is not asked at all.
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

// --- The sources, in the order the host consults them ---

struct ResolverFile {
    std::string file, domain;
    std::vector<std::string> servers;
    uint16_t port = 53;
};

ResolverFile readResolverFile(const fs::path& file) {
    ResolverFile read{file.filename().string(), canonical(file.filename().string()), {}};
    for (const auto& words : wordsOf(file.string())) {
        if (words.size() < 2) continue;
        if (words[0] == "domain") read.domain = canonical(words[1]);
        if (words[0] == "nameserver") read.servers.push_back(words[1]);
        auto port = words[0] == "port" ? decimal(words[1]) : std::nullopt;
        if (port && *port > 0 && *port <= 65535) read.port = static_cast<uint16_t>(*port);
    }
    return read;
}

// The file with the longest domain that is the name or a parent of it, among those that
// name a server; ties go to the first file by name.
std::optional<ResolverFile> resolverFileFor(const Host& host, const std::string& name) {
    std::error_code failed;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(host.path("/etc/resolver"), failed)) {
        if (entry.is_regular_file(failed)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::optional<ResolverFile> best;
    for (const auto& file : files) {
        ResolverFile candidate = readResolverFile(file);
        if (candidate.servers.empty() || !within(name, candidate.domain)) continue;
        if (!best || candidate.domain.size() > best->domain.size()) best = std::move(candidate);
    }
    return best;
}

std::vector<Address> hostsEntries(const Host& host, const std::string& name) {
    std::vector<Address> found;
    for (const auto& words : wordsOf(host.path("/etc/hosts"))) {
        bool named = std::any_of(words.begin() + 1, words.end(),
                                 [&](const std::string& word) { return canonical(word) == name; });
        if (auto address = parseAddress(words[0]); named && address) found.push_back(*address);
    }
    return found;
}

std::pair<std::string, Result> lookUp(const Host& host, const std::string& asked) {
    std::string name = canonical(asked);
    if (fs::exists(host.state("encrypted-dns"))) {
        return {"encrypted resolver installed", {{}, "bypassed, no query sent for " + asked}};
    }
    if (auto file = resolverFileFor(host, name)) {
        return {"/etc/resolver/" + file->file + " (" + file->domain + ")", askServer(file->servers[0], file->port, asked)};
    }
    if (auto addresses = hostsEntries(host, name); !addresses.empty()) {
        std::string outcome = asked + ": " + counted(addresses.size());
        return {"/etc/hosts", {std::move(addresses), outcome}};
    }
    auto primary = primaryDnsServer(host);
    if (!primary) return {"no enabled service", {{}, "nothing to ask for " + asked}};
    std::string source = "service " + primary->service;
    if (primary->server.empty()) return {source, {{}, "no DNS server to ask for " + asked}};
    return {source, askServer(primary->server, 53, asked)};
}

}  // namespace

int lookUpHost(const Host& host, const std::string& name) {
    auto [source, result] = lookUp(host, name);
    std::cerr << "dscacheutil: " << source << ": " << result.outcome << '\n';
    for (const auto& address : result.addresses) {
        std::cout << "name: " << name << '\n'
                  << (address.v6 ? "ipv6_address: " : "ip_address: ") << address.text << "\n\n";
    }
    return 0;
}

}  // namespace vesk::hostsim
