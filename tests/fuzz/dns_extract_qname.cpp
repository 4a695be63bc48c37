// Any datagram: extractQName never reads past the end, and a name it returns is
// lower-case ASCII.
#include <cstdint>
#include <cstdlib>

#include "VeskDNSCore/DnsMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto question = vesk::DnsMessage::extractQName({data, size});
    if (!question) return 0;
    const std::string& name = question->name.text();
    if (name.size() > size) std::abort();
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80 || (c >= 'A' && c <= 'Z')) std::abort();
    }
    return 0;
}
