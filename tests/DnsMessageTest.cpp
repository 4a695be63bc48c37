#include "VeskDNSCore/DnsMessage.hpp"

#include <gtest/gtest.h>

#include "tests/DnsTestUtil.hpp"

namespace vesk {
namespace {

using DnsMessage::Bytes;
using test::headerThen;
using test::query;

TEST(DnsMessage, ExtractQNameReadsTheFirstQuestion) {
    struct Case {
        const char* what;
        Bytes datagram;
        std::optional<std::string> name;
    };
    Bytes header = headerThen();
    Bytes noZero = headerThen({3, 'f', 'o', 'o', 3, 'c', 'o', 'm'});  // no zero byte
    Bytes pointer = headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1});
    Bytes overrun = headerThen({5, 'a', 'b'});
    Bytes highBit = headerThen({2, 'a', 0xE9, 0});
    Bytes reserved = header;  // 0x40-0xBF are read as plain lengths
    reserved.push_back(0x41);
    reserved.insert(reserved.end(), 0x41, 'x');
    reserved.push_back(0);
    Bytes zeroCount = query(0x1234, "example.com");
    zeroCount[5] = 0;
    Bytes root = headerThen({0});

    const Case cases[] = {
        {"plain", query(1, "Example.COM"), "example.com"},
        {"trailing records ignored", query(1, "a.b.c", 1, true), "a.b.c"},
        {"11 bytes", Bytes(11, 0), std::nullopt},
        {"header only", header, std::nullopt},
        {"qdcount 0", zeroCount, std::nullopt},
        {"root name", root, std::nullopt},
        {"name without zero byte", noZero, "foo.com"},
        {"compression pointer", pointer, std::nullopt},
        {"label past the end", overrun, std::nullopt},
        {"non-ASCII byte", highBit, std::nullopt},
        {"length 0x41", reserved, std::string(0x41, 'x')},
    };
    for (const auto& c : cases) {
        auto q = DnsMessage::extractQName(c.datagram);
        EXPECT_EQ(q ? std::optional(q->name) : std::nullopt, c.name) << c.what;
    }
    auto q = DnsMessage::extractQName(query(0xAB01, "x.org", 28));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->header.id, 0xAB01);
    EXPECT_EQ(q->header.qdcount, 1);
}

TEST(DnsMessage, ErrorAnswersEndAfterTheFirstQuestion) {
    struct Case {
        const char* what;
        std::optional<Bytes> (*build)(DnsMessage::View);
        uint8_t flagsHigh, flagsLow;
    };
    const Case cases[] = {
        {"nxdomain", DnsMessage::nxdomainResponse, 0x84, 0x83},
        {"servfail", DnsMessage::servfailResponse, 0x80, 0x82},
    };
    for (const auto& c : cases) {
        for (bool rd : {false, true}) {
            Bytes q = query(0xBEEF, "blocked.example", 1, /*withOpt=*/true);
            q[2] = static_cast<uint8_t>(rd ? 0x79 : 0x78);  // opcode, AA, TC bits set too
            auto answer = c.build(q);
            ASSERT_TRUE(answer) << c.what;
            // Header + "blocked.example" (17 bytes on the wire) + type and class; the OPT
            // record the client sent is not echoed.
            ASSERT_EQ(answer->size(), 12u + 17 + 4) << c.what;
            EXPECT_EQ((*answer)[0], 0xBE);
            EXPECT_EQ((*answer)[1], 0xEF);
            EXPECT_EQ((*answer)[2], c.flagsHigh | (rd ? 1 : 0)) << c.what;
            EXPECT_EQ((*answer)[3], c.flagsLow) << c.what;
            EXPECT_EQ(Bytes(answer->begin() + 4, answer->begin() + 12),
                      Bytes({0, 1, 0, 0, 0, 0, 0, 0}));
            EXPECT_TRUE(std::equal(answer->begin() + 12, answer->end(), q.begin() + 12)) << c.what;
        }
        EXPECT_FALSE(c.build(Bytes(11, 0))) << c.what;
    }
}

TEST(DnsMessage, ErrorAnswersKeepAQuestionThatCannotBeDelimited) {
    Bytes header = headerThen();
    Bytes cut = query(7, "example.com");
    cut.resize(cut.size() - 2);  // class missing
    Bytes pointer = headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1, 0xAA});
    Bytes noQuestion = query(7, "example.com", 1, true);
    noQuestion[5] = 0;

    auto nx = DnsMessage::nxdomainResponse(header);  // a bare header is still answered
    ASSERT_TRUE(nx);
    EXPECT_EQ(nx->size(), 12u);
    EXPECT_EQ(DnsMessage::nxdomainResponse(cut)->size(), cut.size());
    // A question ended by a pointer is delimited after the pointer's two bytes.
    EXPECT_EQ(DnsMessage::servfailResponse(pointer)->size(), pointer.size() - 1);
    EXPECT_EQ(DnsMessage::servfailResponse(noQuestion)->size(), 12u);
}

TEST(DnsMessage, CnameAnswerMatchesTheWireLayout) {
    Bytes q = query(0x0102, "www.google.com", 1, /*withOpt=*/true);  // name is 16 bytes
    q[2] = 0x01;
    auto answer = DnsMessage::cnameResponse(q, "forcesafesearch.google.com", 300);
    ASSERT_TRUE(answer);
    // A question name of 20 bytes would give 76; this one is 4 shorter.
    ASSERT_EQ(answer->size(), 12u + 20 + 12 + 28);
    const Bytes expectedHeader = {0x01, 0x02, 0x85, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(answer->begin(), answer->begin() + 12), expectedHeader);
    const Bytes record = {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0x01, 0x2C, 0, 28};
    EXPECT_EQ(Bytes(answer->begin() + 32, answer->begin() + 44), record);
    const Bytes target = {15, 'f', 'o', 'r', 'c', 'e', 's', 'a', 'f', 'e', 's', 'e', 'a', 'r',
                          'c', 'h', 6, 'g', 'o', 'o', 'g', 'l', 'e', 3, 'c', 'o', 'm', 0};
    EXPECT_EQ(Bytes(answer->begin() + 44, answer->end()), target);

    Bytes twenty = query(9, "abcdefgh.example.com");  // 22 bytes of name: 78
    EXPECT_EQ(DnsMessage::cnameResponse(twenty, "forcesafesearch.google.com", 300)->size(), 78u);
    Bytes exactly20 = query(9, "abcdef.example.com");
    EXPECT_EQ(DnsMessage::cnameResponse(exactly20, "forcesafesearch.google.com", 300)->size(),
              76u);
}

TEST(DnsMessage, CnameAnswerRefusals) {
    Bytes header = headerThen();
    Bytes pointer = headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1});
    Bytes noClass = query(1, "a.com");
    noClass.pop_back();
    EXPECT_FALSE(DnsMessage::cnameResponse(Bytes(11, 0), "a.com", 300));
    EXPECT_FALSE(DnsMessage::cnameResponse(header, "a.com", 300));
    EXPECT_FALSE(DnsMessage::cnameResponse(pointer, "a.com", 300));
    EXPECT_FALSE(DnsMessage::cnameResponse(noClass, "a.com", 300));
    EXPECT_FALSE(DnsMessage::cnameResponse(query(1, "a.com"), std::string(64, 'x') + ".com", 300));
    auto empty = DnsMessage::cnameResponse(query(1, "a.com"), "", 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->back(), 0);
    EXPECT_EQ((*empty)[empty->size() - 2], 1);  // RDLENGTH 1: the root name
}

}  // namespace
}  // namespace vesk
