// A bare UDP DNS responder for dns-throughput: it answers every query at once, built from
// the query itself with no lookup, so that its rate is the ceiling the load generator can
// reach on this machine, and so that it can stand in for an upstream resolver.
//
//   udp-responder [--host 127.0.0.1] [--port PORT] [--mode nxdomain|answer] [--lifetime S]
//
// --mode nxdomain answers NXDOMAIN; --mode answer answers NOERROR with one A record
// (192.0.2.1, a documentation address) for A questions and no records otherwise.
// --port 0 (the default) takes any free port; the port bound is printed on standard
// output. The responder exits by itself after --lifetime seconds (default 900), so that
// it never outlives a benchmark that was killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t headerSize = 12;

// The end of the single question, or 0 when the message is no query we can answer.
size_t questionEnd(const uint8_t* message, size_t size) {
    if (size < headerSize) return 0;
    if (message[2] & 0x80) return 0;                    // a response, not a query
    if (message[4] != 0 || message[5] != 1) return 0;   // exactly one question
    size_t at = headerSize;
    while (at < size && message[at] != 0) {
        if (message[at] & 0xC0) return 0;  // queries carry no compression pointers
        at += 1 + message[at];
    }
    at += 1 + 4;  // the root label, then type and class
    return at <= size ? at : 0;
}

size_t buildReply(uint8_t* message, size_t size, bool answer) {
    size_t end = questionEnd(message, size);
    if (end == 0) return 0;
    bool isA = message[end - 4] == 0 && message[end - 3] == 1;
    message[2] = static_cast<uint8_t>(0x80 | (message[2] & 0x79));  // QR, keep opcode and RD
    message[3] = static_cast<uint8_t>(0x80 | (answer ? 0 : 3));      // RA; NOERROR or NXDOMAIN
    std::memset(message + 6, 0, 6);                                   // no records but ours
    if (!answer || !isA) return end;
    message[7] = 1;
    static const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x01, 0x2C, 0, 4, 192, 0, 2, 1};
    std::memcpy(message + end, record, sizeof record);
    return end + sizeof record;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: udp-responder [--host 127.0.0.1] [--port PORT] "
                 "[--mode nxdomain|answer] [--lifetime SECONDS]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long port = 0;
    long lifetime = 900;
    bool answer = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage();
        std::string value = argv[++i];
        if (option == "--host") {
            host = value;
        } else if (option == "--port") {
            port = std::strtol(value.c_str(), nullptr, 10);
        } else if (option == "--lifetime") {
            lifetime = std::strtol(value.c_str(), nullptr, 10);
        } else if (option == "--mode" && (value == "nxdomain" || value == "answer")) {
            answer = value == "answer";
        } else {
            usage();
        }
    }
    if (port < 0 || port > 65535 || lifetime <= 0) usage();

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("udp-responder: bind");
        return 1;
    }
    // A deep receive queue, so that bursts from the load generator are not dropped here.
    int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    alarm(static_cast<unsigned>(lifetime));  // SIGALRM's default action ends the process

    uint8_t message[4096];
    for (;;) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        // Leave room behind the query for the answer record.
        ssize_t got = recvfrom(fd, message, sizeof message - 64, 0,
                               reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (got <= 0) continue;
        size_t reply = buildReply(message, static_cast<size_t>(got), answer);
        if (reply == 0) continue;
        sendto(fd, message, reply, 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    }
}
