#include "DnsMessage.hpp"

#include <algorithm>

#include "VeskDNSCore/DomainName.hpp"

namespace vesk::DnsMessage {
namespace {

uint16_t read16(View bytes, size_t offset) {
    return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

bool isPointer(uint8_t length) { return (length & 0xC0) == 0xC0; }

uint8_t foldCase(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c | 0x20) : c; }

// How the first question's name ends, and the offset just past it.
struct NameScan {
    enum class End { zero, pointer, outOfData, labelPastEnd } end;
    size_t next;
};

// The one walk over the question's name: every label, in order, to onLabel.
template <typename OnLabel>
NameScan scanQuestionName(View message, OnLabel&& onLabel) {
    size_t offset = headerSize;
    while (offset < message.size()) {
        uint8_t length = message[offset];
        if (length == 0) return {NameScan::End::zero, offset + 1};
        if (isPointer(length)) return {NameScan::End::pointer, offset + 2};
        if (offset + 1 + length > message.size()) return {NameScan::End::labelPastEnd, offset};
        onLabel(message.subspan(offset + 1, length));
        offset += 1 + length;
    }
    return {NameScan::End::outOfData, offset};
}

NameScan scanQuestionName(View message) {
    return scanQuestionName(message, [](View) {});
}

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// Labels of a dotted name in wire form, ended by a zero byte; none when a label is over
// 63 bytes or the whole over 255.
std::optional<Bytes> encodeName(std::string_view name) {
    Bytes encoded;
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = std::min(name.find('.', start), name.size());
        size_t length = dot - start;
        if (length > 63) return std::nullopt;
        if (length > 0) {
            encoded.push_back(static_cast<uint8_t>(length));
            encoded.insert(encoded.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                           name.begin() + static_cast<std::ptrdiff_t>(dot));
        }
        start = dot + 1;
    }
    encoded.push_back(0);
    if (encoded.size() > 255) return std::nullopt;
    return encoded;
}

// Reads a possibly compressed name at offset, lower-cased and dotted, and moves offset
// past it. Pointers must point backwards, so a loop cannot be followed.
std::optional<std::string> readName(View message, size_t& offset) {
    std::string name;
    size_t at = offset;
    bool jumped = false;
    for (;;) {
        if (at >= message.size()) return std::nullopt;
        uint8_t length = message[at];
        if (length == 0) {
            if (!jumped) offset = at + 1;
            DomainName::lowerASCII(name);
            return name;
        }
        if (isPointer(length)) {
            if (at + 1 >= message.size()) return std::nullopt;
            size_t target = static_cast<size_t>(((length & 0x3F) << 8) | message[at + 1]);
            if (target >= at) return std::nullopt;
            if (!jumped) offset = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if (length > 63 || at + 1 + length > message.size()) return std::nullopt;
        if (!name.empty()) name.push_back('.');
        name.append(reinterpret_cast<const char*>(&message[at + 1]), length);
        if (name.size() > 255) return std::nullopt;
        at += 1 + length;
    }
}

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
    Header header{read16(datagram, 0), read16(datagram, 2),  read16(datagram, 4),
                  read16(datagram, 6), read16(datagram, 8), read16(datagram, 10)};
    if (header.qdcount == 0) return std::nullopt;
    std::string raw;
    bool ascii = true;
    NameScan scan = scanQuestionName(datagram, [&](View label) {
        if (!raw.empty()) raw.push_back('.');
        for (uint8_t c : label) ascii = ascii && c < 0x80;
        raw.append(reinterpret_cast<const char*>(label.data()), label.size());
    });
    using End = NameScan::End;
    if (scan.end == End::pointer || scan.end == End::labelPastEnd || !ascii || raw.empty()) {
        return std::nullopt;
    }
    std::optional<TypeAndClass> typeAndClass;
    if (scan.end == End::zero && scan.next + 4 <= datagram.size()) {
        typeAndClass = TypeAndClass{read16(datagram, scan.next), read16(datagram, scan.next + 2)};
    }
    return Question{header, DomainName::fromASCII(std::move(raw)), typeAndClass};
}

std::optional<size_t> firstQuestionEnd(View message) {
    NameScan scan = scanQuestionName(message);
    bool delimited = scan.end == NameScan::End::zero || scan.end == NameScan::End::pointer;
    if (!delimited || scan.next + 4 > message.size()) return std::nullopt;
    return scan.next + 4;
}

std::optional<View> questionOf(View message) {
    if (message.size() < headerSize || read16(message, 4) == 0) return std::nullopt;
    bool labelsValid = true;  // at most 63 bytes each: no length byte then reaches 'A'
    NameScan scan = scanQuestionName(message, [&](View label) { labelsValid = labelsValid && label.size() <= 63; });
    if (!labelsValid || scan.end != NameScan::End::zero || scan.next + 4 > message.size()) {
        return std::nullopt;
    }
    return message.subspan(headerSize, scan.next + 4 - headerSize);
}

bool sameQuestion(View one, View other) {
    if (one.size() != other.size() || one.size() < 5) return false;
    // Folding the name's length bytes too is harmless: questionOf took none above 63.
    size_t nameEnd = one.size() - 4;
    for (size_t i = 0; i < nameEnd; ++i) {
        if (foldCase(one[i]) != foldCase(other[i])) return false;
    }
    return std::equal(one.begin() + static_cast<std::ptrdiff_t>(nameEnd), one.end(),
                      other.begin() + static_cast<std::ptrdiff_t>(nameEnd));
}

std::optional<Bytes> nxdomainResponse(View query) {
    if (query.size() < headerSize) return std::nullopt;
    return errorAnswer(query, responseFlags | authoritative, 0x83);
}

std::optional<Bytes> nodataResponse(View query) {
    if (query.size() < headerSize) return std::nullopt;
    return errorAnswer(query, responseFlags | authoritative, 0x80);
}

std::optional<Bytes> servfailResponse(View query) {
    if (query.size() < headerSize) return std::nullopt;
    return errorAnswer(query, responseFlags, 0x82);
}

std::optional<Bytes> cnameResponse(View query, std::string_view targetName, uint32_t ttl) {
    if (query.size() < headerSize) return std::nullopt;
    // The name is repeated in the record by a pointer to it, so it must be written out.
    NameScan scan = scanQuestionName(query);
    size_t questionEnd = scan.next + 4;
    if (scan.end != NameScan::End::zero || questionEnd > query.size()) return std::nullopt;

    auto target = encodeName(targetName);
    if (!target) return std::nullopt;

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
        static_cast<uint8_t>(target->size() >> 8), static_cast<uint8_t>(target->size()),
    };
    answer.insert(answer.end(), std::begin(record), std::end(record));
    answer.insert(answer.end(), target->begin(), target->end());
    return answer;
}

Bytes buildQuery(uint16_t id, std::string_view name, uint16_t type, uint16_t klass) {
    Bytes query;
    put16(query, id);
    put16(query, 0x0100);  // RD
    put16(query, 1);
    for (int i = 0; i < 3; ++i) put16(query, 0);
    auto encoded = encodeName(name).value_or(Bytes{0});
    query.insert(query.end(), encoded.begin(), encoded.end());
    put16(query, type);
    put16(query, klass);
    return query;
}

std::vector<Bytes> answerChain(View response, std::string_view name, uint16_t type,
                               uint16_t klass) {
    struct Record {
        std::string owner;
        uint16_t type, klass;
        size_t ttlAt;
        Bytes rdata;  // a CNAME's target written out; other data as it stands
        std::string alias;
    };
    if (response.size() < headerSize) return {};
    size_t offset = headerSize;
    for (uint16_t i = 0; i < read16(response, 4); ++i) {
        if (!readName(response, offset) || offset + 4 > response.size()) return {};
        offset += 4;
    }
    std::vector<Record> records;
    for (uint16_t i = 0; i < read16(response, 6); ++i) {
        auto owner = readName(response, offset);
        if (!owner || offset + 10 > response.size()) return {};
        Record record{*owner, read16(response, offset), read16(response, offset + 2), offset + 4, {}, {}};
        size_t length = read16(response, offset + 8);
        offset += 10;
        if (offset + length > response.size()) return {};
        if (record.type == typeCNAME) {
            size_t at = offset;
            auto alias = readName(response, at);
            if (!alias) return {};
            record.alias = *alias;
            record.rdata = encodeName(*alias).value_or(Bytes{0});
        } else {
            record.rdata.assign(response.begin() + static_cast<std::ptrdiff_t>(offset),
                                response.begin() + static_cast<std::ptrdiff_t>(offset + length));
        }
        offset += length;
        records.push_back(std::move(record));
    }

    std::vector<Bytes> chain;
    auto emit = [&](const Record& record) {
        Bytes out = encodeName(record.owner).value_or(Bytes{0});
        put16(out, record.type);
        put16(out, record.klass);
        out.insert(out.end(), response.begin() + static_cast<std::ptrdiff_t>(record.ttlAt),
                   response.begin() + static_cast<std::ptrdiff_t>(record.ttlAt + 4));
        put16(out, static_cast<uint16_t>(record.rdata.size()));
        out.insert(out.end(), record.rdata.begin(), record.rdata.end());
        chain.push_back(std::move(out));
    };
    std::string current = DomainName::lowercased(name);
    // A chain longer than the records cannot be anything but a loop.
    for (size_t hops = 0; hops <= records.size(); ++hops) {
        const Record* alias = nullptr;
        for (const auto& record : records) {
            if (record.owner == current && record.klass == klass && record.type == typeCNAME) {
                alias = &record;
                break;
            }
        }
        if (alias == nullptr) break;
        emit(*alias);
        current = alias->alias;
    }
    for (const auto& record : records) {
        if (record.owner == current && record.klass == klass && record.type == type) emit(record);
    }
    return chain;
}

Bytes withAnswers(Bytes message, const std::vector<Bytes>& records) {
    uint16_t count = static_cast<uint16_t>(read16(message, 6) + records.size());
    message[6] = static_cast<uint8_t>(count >> 8);
    message[7] = static_cast<uint8_t>(count);
    for (const auto& record : records) message.insert(message.end(), record.begin(), record.end());
    return message;
}

}  // namespace vesk::DnsMessage
