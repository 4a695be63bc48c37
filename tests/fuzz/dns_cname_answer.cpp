// A CNAME answer for any query and target: the question is copied whole and followed by
// exactly one record, right after it, whose RDLENGTH covers the rest of the message.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "VeskDNSCore/DnsMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte splits the input into a target name and a query.
    if (size == 0) return 0;
    size_t split = std::min<size_t>(data[0], size - 1);
    std::string_view target(reinterpret_cast<const char*>(data + 1), split);
    const uint8_t* query = data + 1 + split;
    size_t querySize = size - 1 - split;
    auto answer = vesk::DnsMessage::cnameResponse({query, querySize}, target, 300);
    if (!answer) return 0;
    const auto& a = *answer;
    if (querySize < 12 || a.size() < 12 + 12 + 1) std::abort();
    // The record follows the question: its name (plain labels) and 4 bytes.
    size_t recordStart = 12;
    while (recordStart < querySize && query[recordStart] != 0) recordStart += 1 + query[recordStart];
    recordStart += 1 + 4;
    if (recordStart + 12 > a.size()) std::abort();
    size_t rdlength = (size_t{a[recordStart + 10]} << 8) | a[recordStart + 11];
    if (a[recordStart] != 0xC0 || a[recordStart + 1] != 0x0C || a[recordStart + 3] != 5 ||
        recordStart + 12 + rdlength != a.size() || rdlength == 0) {
        std::abort();
    }
    if (std::memcmp(a.data() + 12, query + 12, recordStart - 12) != 0) std::abort();
    if (a[6] != 0 || a[7] != 1 || a[recordStart + 12 + rdlength - 1] != 0) std::abort();
    return 0;
}
