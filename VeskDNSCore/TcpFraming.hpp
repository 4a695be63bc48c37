#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "VeskDNSCore/DnsMessage.hpp"

namespace vesk {

// DNS over TCP frames each message with its length in two bytes (so no message can be
// longer than 65,535 bytes). FrameReader collects a stream's bytes and hands out whole
// messages, however the stream was cut into reads. It also notes when the message it
// is waiting for began, so that a message trickling in can be given a deadline.
class FrameReader {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Bytes that arrived at `now`. Take every whole message with next() before the next
    // append, so that the start of the one after is known.
    void append(const uint8_t* data, size_t size, TimePoint now);
    // The next whole message, or none until more bytes arrive.
    std::optional<DnsMessage::Bytes> next();
    // Whether part of a frame (its length, or some of its message) is waiting.
    bool midMessage() const { return buffer.size() > start; }
    // When the first byte of the waiting part arrived (meaningful while midMessage()).
    TimePoint messageStarted() const { return started; }

private:
    DnsMessage::Bytes buffer;
    size_t start = 0;  // where the unread bytes begin
    TimePoint started{};
    TimePoint lastAppend{};
};

// The message with its two-byte length in front; none when it is too long to frame.
std::optional<DnsMessage::Bytes> framed(DnsMessage::View message);

}  // namespace vesk
