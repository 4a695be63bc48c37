#include "VeskDNSCore/TcpFraming.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

using Bytes = DnsMessage::Bytes;

// Feeds the stream to a reader in the given cuts and collects what it hands out.
std::vector<Bytes> read(const Bytes& stream, std::vector<size_t> cuts, bool* midMessage = nullptr) {
    FrameReader reader;
    std::vector<Bytes> out;
    size_t at = 0;
    cuts.push_back(stream.size());
    for (size_t cut : cuts) {
        reader.append(stream.data() + at, cut - at);
        at = cut;
        while (auto message = reader.next()) out.push_back(*message);
    }
    if (midMessage) *midMessage = reader.midMessage();
    return out;
}

TEST(TcpFraming, MessagesComeWholeHoweverTheStreamIsCut) {
    Bytes one(12, 0x11), two(300, 0x22);
    Bytes stream = *framed(one);
    auto second = *framed(two);
    stream.insert(stream.end(), second.begin(), second.end());
    struct Case {
        const char* what;
        std::vector<size_t> cuts;
    };
    const Case cases[] = {
        {"both in one segment", {}},
        {"the length alone first", {2}},
        {"one byte of the length", {1}},
        {"split inside the first message", {7}},
        {"split inside the second length", {15}},
        {"byte by byte", [] {
             std::vector<size_t> every;
             for (size_t i = 1; i < 316; ++i) every.push_back(i);
             return every;
         }()},
    };
    for (const auto& c : cases) {
        bool mid = true;
        EXPECT_EQ(read(stream, c.cuts, &mid), std::vector<Bytes>({one, two})) << c.what;
        EXPECT_FALSE(mid) << c.what;
    }
}

TEST(TcpFraming, IncompleteAndLimitCases) {
    bool mid = false;
    // A length that claims more than ever comes: nothing is handed out, the rest waits.
    EXPECT_TRUE(read({0xFF, 0xFF, 1, 2, 3}, {}, &mid).empty());
    EXPECT_TRUE(mid);
    EXPECT_TRUE(read({0x00}, {}, &mid).empty());
    EXPECT_TRUE(mid);
    // An empty message is a frame like any other (the server drops it as too short).
    EXPECT_EQ(read({0, 0, 0, 1, 9}, {}, &mid), std::vector<Bytes>({{}, {9}}));
    EXPECT_FALSE(framed(Bytes(65536, 0)));
    EXPECT_EQ(framed(Bytes(65535, 0))->size(), 65537u);
}

}  // namespace
}  // namespace vesk
