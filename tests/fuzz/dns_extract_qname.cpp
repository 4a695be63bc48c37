// Any datagram: extractQName never reads past the end, and a name it returns is
// lower-case ASCII; the question a reply is matched on is the same question again when
// the reply's letters are upper-cased, and never when its type differs.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "VeskDNSCore/DnsMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace DnsMessage = vesk::DnsMessage;
    if (auto question = DnsMessage::questionOf({data, size})) {
        std::vector<uint8_t> shouted(data, data + size);
        for (size_t i = DnsMessage::headerSize; i + 4 < DnsMessage::headerSize + question->size(); ++i) {
            if (shouted[i] >= 'a' && shouted[i] <= 'z') shouted[i] -= 0x20;
        }
        auto same = DnsMessage::questionOf(shouted);
        if (!same || !DnsMessage::sameQuestion(*question, *same)) std::abort();
        shouted[DnsMessage::headerSize + question->size() - 3] ^= 1;  // another type
        if (DnsMessage::sameQuestion(*question, *DnsMessage::questionOf(shouted))) std::abort();
    }
    auto question = DnsMessage::extractQName({data, size});
    if (!question) return 0;
    const std::string& name = question->name.text();
    if (name.size() > size) std::abort();
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80 || (c >= 'A' && c <= 'Z')) std::abort();
    }
    return 0;
}
