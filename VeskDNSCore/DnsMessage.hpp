#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::DnsMessage {

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

constexpr size_t headerSize = 12;

struct Header {
    uint16_t id = 0;
    uint16_t flags = 0;
    uint16_t qdcount = 0;
    uint16_t ancount = 0;
    uint16_t nscount = 0;
    uint16_t arcount = 0;
};

struct Question {
    Header header;
    std::string name;  // lower-case, labels joined by ".", no trailing dot
};

// The header and the first question's name, or none for a datagram that cannot be read
// (short, no question, a compression pointer or a non-ASCII byte in the name, a label
// running past the end, or the root name).
std::optional<Question> extractQName(View datagram);

// Where the first question ends (its name, ended by a zero byte or a compression
// pointer, then type and class), or none when that does not fit in the message.
std::optional<size_t> firstQuestionEnd(View message);

// NXDOMAIN for the query: header and first question only, counts of the other sections
// 0. None for a query shorter than a header.
std::optional<Bytes> nxdomainResponse(View query);

// SERVFAIL for a query no upstream answered, shaped like the NXDOMAIN answer.
std::optional<Bytes> servfailResponse(View query);

// An answer whose one record says the question name is an alias of target, or none when
// the query's question cannot be delimited or a target label is over 63 bytes.
std::optional<Bytes> cnameResponse(View query, std::string_view target, uint32_t ttl);

}  // namespace vesk::DnsMessage
