#include "DnsMessage.hpp"

namespace vesk::DnsMessage {
namespace {

uint16_t read16(View bytes, size_t offset) {
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

bool isPointer(uint8_t length) { return (length & 0xC0) == 0xC0; }

constexpr uint8_t responseFlags = 0x80;   // QR
constexpr uint8_t authoritative = 0x04;   // AA
constexpr uint8_t recursionDesired = 0x01;

// Header and first question of the query with the given flags and zeroed record counts.
// When the question cannot be delimited, all of the query is kept so that the client
// still sees its own question.
Bytes errorAnswer(View query, uint8_t flagsHigh, uint8_t flagsLow) {
    size_t end = query.size();
    if (read16(query, 4) == 0) {
        end = headerSize;
    } else if (auto questionEnd = firstQuestionEnd(query)) {
        end = *questionEnd;
    }
    Bytes answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end));
    answer[2] = static_cast<uint8_t>(flagsHigh | (query[2] & recursionDesired));
    answer[3] = flagsLow;
    for (size_t i = 6; i < headerSize; ++i) answer[i] = 0;
    return answer;
}

}  // namespace

std::optional<Question> extractQName(View datagram) {
    if (datagram.size() < headerSize) return std::nullopt;
    Question question;
    question.header = {read16(datagram, 0), read16(datagram, 2),  read16(datagram, 4),
                       read16(datagram, 6), read16(datagram, 8), read16(datagram, 10)};
    if (question.header.qdcount == 0) return std::nullopt;
    std::string& name = question.name;
    size_t offset = headerSize;
    bool anyLabel = false;
    // A name that runs to the end without its zero byte is read as far as it goes.
    while (offset < datagram.size()) {
        uint8_t length = datagram[offset];
        if (length == 0) break;
        if (isPointer(length)) return std::nullopt;
        if (offset + 1 + length > datagram.size()) return std::nullopt;
        if (anyLabel) name.push_back('.');
        for (size_t i = offset + 1; i < offset + 1 + length; ++i) {
            uint8_t c = datagram[i];
            if (c >= 0x80) return std::nullopt;
            name.push_back(static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c));
        }
        anyLabel = true;
        offset += 1 + length;
    }
    if (!anyLabel) return std::nullopt;
    return question;
}

std::optional<size_t> firstQuestionEnd(View message) {
    size_t offset = headerSize;
    for (;;) {
        if (offset >= message.size()) return std::nullopt;
        uint8_t length = message[offset];
        if (length == 0) {
            offset += 1;
            break;
        }
        if (isPointer(length)) {
            offset += 2;
            break;
        }
        offset += 1 + length;
    }
    if (offset + 4 > message.size()) return std::nullopt;
    return offset + 4;
}

std::optional<Bytes> nxdomainResponse(View query) {
    if (query.size() < headerSize) return std::nullopt;
    return errorAnswer(query, responseFlags | authoritative, 0x83);
}

std::optional<Bytes> servfailResponse(View query) {
    if (query.size() < headerSize) return std::nullopt;
    return errorAnswer(query, responseFlags, 0x82);
}

std::optional<Bytes> cnameResponse(View query, std::string_view target, uint32_t ttl) {
    if (query.size() < headerSize) return std::nullopt;
    // The question ends after its name (a pointer is not accepted here) and 4 bytes.
    size_t offset = headerSize;
    while (offset < query.size()) {
        uint8_t length = query[offset];
        if (length == 0) {
            offset += 1;
            break;
        }
        if (isPointer(length)) return std::nullopt;
        offset += 1 + length;
    }
    size_t questionEnd = offset + 4;
    if (questionEnd > query.size()) return std::nullopt;

    Bytes encoded;
    size_t start = 0;
    while (start <= target.size()) {
        size_t dot = target.find('.', start);
        if (dot == std::string_view::npos) dot = target.size();
        size_t length = dot - start;
        if (length > 63) return std::nullopt;
        if (length > 0) {
            encoded.push_back(static_cast<uint8_t>(length));
            encoded.insert(encoded.end(), target.begin() + static_cast<std::ptrdiff_t>(start),
                           target.begin() + static_cast<std::ptrdiff_t>(dot));
        }
        start = dot + 1;
    }
    encoded.push_back(0);
    if (encoded.size() > 0xFFFF) return std::nullopt;

    Bytes answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(questionEnd));
    answer[2] = static_cast<uint8_t>(responseFlags | authoritative | (query[2] & recursionDesired));
    answer[3] = 0x80;
    answer[6] = 0;
    answer[7] = 1;
    for (size_t i = 8; i < headerSize; ++i) answer[i] = 0;
    const uint8_t record[] = {
        0xC0, 0x0C,  // the question's name
        0x00, 0x05,  // CNAME
        0x00, 0x01,  // IN
        static_cast<uint8_t>(ttl >> 24), static_cast<uint8_t>(ttl >> 16),
        static_cast<uint8_t>(ttl >> 8), static_cast<uint8_t>(ttl),
        static_cast<uint8_t>(encoded.size() >> 8), static_cast<uint8_t>(encoded.size()),
    };
    answer.insert(answer.end(), std::begin(record), std::end(record));
    answer.insert(answer.end(), encoded.begin(), encoded.end());
    return answer;
}

}  // namespace vesk::DnsMessage
