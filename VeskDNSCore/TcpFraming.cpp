#include "TcpFraming.hpp"

namespace vesk {

void FrameReader::append(const uint8_t* data, size_t size, TimePoint now) {
    if (size == 0) return;
    if (!midMessage()) started = now;
    lastAppend = now;
    // Drop what was handed out before growing, so a long-lived connection stays small.
    if (start > 0 && start == buffer.size()) {
        buffer.clear();
        start = 0;
    } else if (start > 4096) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

std::optional<DnsMessage::Bytes> FrameReader::next() {
    if (buffer.size() - start < 2) return std::nullopt;
    size_t length = (size_t{buffer[start]} << 8) | buffer[start + 1];
    if (buffer.size() - start - 2 < length) return std::nullopt;
    auto first = buffer.begin() + static_cast<std::ptrdiff_t>(start + 2);
    DnsMessage::Bytes message(first, first + static_cast<std::ptrdiff_t>(length));
    start += 2 + length;
    // Whatever follows a whole message came with the latest bytes: a new message began then.
    if (midMessage()) started = lastAppend;
    return message;
}

std::optional<DnsMessage::Bytes> framed(DnsMessage::View message) {
    if (message.size() > 0xFFFF) return std::nullopt;
    DnsMessage::Bytes out;
    out.reserve(message.size() + 2);
    out.push_back(static_cast<uint8_t>(message.size() >> 8));
    out.push_back(static_cast<uint8_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

}  // namespace vesk
