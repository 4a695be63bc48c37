// NXDOMAIN and SERVFAIL for any datagram: answered exactly when there is a header, never
// longer than the query, same ID and question count, no other records announced.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "VeskDNSCore/DnsMessage.hpp"

namespace {

void check(const std::optional<vesk::DnsMessage::Bytes>& answer, const uint8_t* data, size_t size,
           uint8_t rcode) {
    if ((size >= 12) != answer.has_value()) std::abort();
    if (!answer) return;
    const auto& a = *answer;
    if (a.size() < 12 || a.size() > size) std::abort();
    if (std::memcmp(a.data(), data, 2) != 0 || std::memcmp(a.data() + 4, data + 4, 2) != 0) std::abort();
    if ((a[2] & 0x80) == 0 || (a[3] & 0x0F) != rcode || (a[2] & 0x01) != (data[2] & 0x01)) std::abort();
    if (std::memcmp(a.data() + 6, "\0\0\0\0\0\0", 6) != 0) std::abort();
    if (std::memcmp(a.data() + 12, data + 12, a.size() - 12) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(vesk::DnsMessage::nxdomainResponse({data, size}), data, size, 3);
    check(vesk::DnsMessage::servfailResponse({data, size}), data, size, 2);
    return 0;
}
