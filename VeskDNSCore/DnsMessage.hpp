#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "VeskDNSCore/DomainName.hpp"

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

struct TypeAndClass {
    uint16_t type = 0;
    uint16_t klass = 0;
};

// A query's first question, read once for every decision made on it.
struct Question {
    Header header;
    DomainName name;
    // None when the datagram ends before them (the name itself may still be read).
    std::optional<TypeAndClass> typeAndClass;
};

// The header and the first question, or none for a datagram whose name cannot be read
// (short, no question, a compression pointer or a non-ASCII byte in the name, a label
// running past the end, or the root name). A name that runs to the end of the datagram
// without its zero byte is read as far as it goes.
std::optional<Question> extractQName(View datagram);

// Where the first question ends (its name, ended by a zero byte or a compression
// pointer, then type and class), or none when that does not fit in the message.
std::optional<size_t> firstQuestionEnd(View message);

// The first question as it stands after the header (its name written out in full in
// labels of at most 63 bytes, then type and class), or none when the message has no
// such question.
std::optional<View> questionOf(View message);

// Whether two questions taken by questionOf ask the same: the same name without regard
// to ASCII letter case, the same type and class.
bool sameQuestion(View one, View other);

// NXDOMAIN for the query: header and first question only, counts of the other sections
// 0. None for a query shorter than a header.
std::optional<Bytes> nxdomainResponse(View query);

// NOERROR without records, shaped like the NXDOMAIN answer.
std::optional<Bytes> nodataResponse(View query);

// SERVFAIL for a query no upstream answered, shaped like the NXDOMAIN answer.
std::optional<Bytes> servfailResponse(View query);

// An answer whose one record says the question name is an alias of target, or none when
// the query's question cannot be delimited or a target label is over 63 bytes.
std::optional<Bytes> cnameResponse(View query, std::string_view target, uint32_t ttl);

// A standard query (RD set) for one name.
Bytes buildQuery(uint16_t id, std::string_view name, uint16_t type, uint16_t klass);

// The answer records of response that resolve name for type and class: CNAME records
// followed from name, then the type's records for the name the chain ends at. Each is
// returned encoded with its names written out, ready to append to another message.
// Empty when there are none or the response cannot be read.
std::vector<Bytes> answerChain(View response, std::string_view name, uint16_t type,
                               uint16_t klass);

// message with records appended to its answer section.
Bytes withAnswers(Bytes message, const std::vector<Bytes>& records);

constexpr uint16_t typeA = 1;
constexpr uint16_t typeCNAME = 5;
constexpr uint16_t typeAAAA = 28;

}  // namespace vesk::DnsMessage
