#include "VeskDNSCore/TcpFraming.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace vesk {
namespace {

using Bytes = DnsMessage::Bytes;
using TimePoint = FrameReader::TimePoint;

TimePoint at(int ms) { return TimePoint(std::chrono::milliseconds(ms)); }

// Feeds the stream to a reader in the given cuts and collects what it hands out.
std::vector<Bytes> read(const Bytes& stream, std::vector<size_t> cuts, bool* midMessage) {
    FrameReader reader;
    std::vector<Bytes> out;
    size_t from = 0;
    cuts.push_back(stream.size());
    for (size_t cut : cuts) {
        reader.append(stream.data() + from, cut - from, {});
        from = cut;
        while (auto message = reader.next()) out.push_back(*message);
    }
    *midMessage = reader.midMessage();
    return out;
}

TEST(TcpFraming, MessagesComeWholeHoweverTheStreamIsCut) {
    Bytes one(12, 0x11), two(300, 0x22), stream = *framed(one), second = *framed(two);
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<size_t> everyByte(stream.size() - 1);
    std::iota(everyByte.begin(), everyByte.end(), 1);
    // Whole; one byte of the length; the length alone; inside a message; inside the
    // second length; byte by byte.
    for (const auto& cuts : std::vector<std::vector<size_t>>{{}, {1}, {2}, {7}, {15}, everyByte}) {
        bool mid = true;
        EXPECT_EQ(read(stream, cuts, &mid), std::vector<Bytes>({one, two})) << cuts.size();
        EXPECT_FALSE(mid);
    }
    // A length that claims more than ever comes waits; an empty message is a frame too.
    bool mid = false;
    EXPECT_TRUE(read({0xFF, 0xFF, 1, 2, 3}, {}, &mid).empty());
    EXPECT_TRUE(mid);
    EXPECT_EQ(read({0, 0, 0, 1, 9}, {}, &mid), std::vector<Bytes>({{}, {9}}));
    EXPECT_FALSE(framed(Bytes(65536, 0)));
    EXPECT_EQ(framed(Bytes(65535, 0))->size(), 65537u);
}

TEST(TcpFraming, AMessageStartsWithItsFirstByte) {
    FrameReader reader;
    Bytes message = *framed(Bytes(20, 0x33));
    // One byte every 100 ms: the message started with the first, however long it trickles.
    for (size_t i = 0; i + 1 < message.size(); ++i) {
        reader.append(&message[i], 1, at(100 * static_cast<int>(i)));
        EXPECT_FALSE(reader.next());
        EXPECT_EQ(reader.messageStarted(), at(0)) << "after byte " << i;
    }
    // Its last byte comes with the start of the next message, which starts then.
    Bytes rest = {message.back(), 0, 12};
    reader.append(rest.data(), rest.size(), at(5000));
    EXPECT_TRUE(reader.next());
    EXPECT_TRUE(reader.midMessage());
    EXPECT_EQ(reader.messageStarted(), at(5000));
    Bytes body(12, 0);
    reader.append(body.data(), body.size(), at(6000));
    EXPECT_TRUE(reader.next());
    reader.append(body.data(), 1, at(7000));  // another, after a pause
    EXPECT_EQ(reader.messageStarted(), at(7000));
}

}  // namespace
}  // namespace vesk
