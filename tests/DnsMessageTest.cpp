#include "VeskDNSCore/DnsMessage.hpp"

#include <gtest/gtest.h>

#include "tests/support/DnsTestUtil.hpp"

namespace vesk {
namespace {

using DnsMessage::Bytes;
using test::headerThen;
using test::query;

TEST(DnsMessage, ExtractQNameReadsTheFirstQuestion) {
    Bytes header = headerThen();
    Bytes noZero = headerThen({3, 'f', 'o', 'o', 3, 'c', 'o', 'm'});  // no zero byte
    Bytes noClass = headerThen({1, 'a', 0, 0, 1});
    // Enough bytes after the pointer that, read as a length, it would make a label.
    Bytes longPointer = headerThen({3, 'w', 'w', 'w', 0xC0});
    longPointer.insert(longPointer.end(), 0xC0, 'x');
    longPointer.push_back(0);
    Bytes overrun = headerThen({5, 'a', 'b'});
    Bytes highBit = headerThen({2, 'a', 0xE9, 0});
    Bytes reserved = header;  // 0x40-0xBF are read as plain lengths
    reserved.push_back(0x41);
    reserved.insert(reserved.end(), 0x41, 'x');
    reserved.push_back(0);
    Bytes zeroCount = query(0x1234, "example.com");
    zeroCount[5] = 0;

    const struct {
        const char* what;
        Bytes datagram;
        std::optional<std::string> name;
        bool typeAndClass = false;
    } cases[] = {
        {"plain", query(1, "Example.COM", 28), "example.com", true},
        {"11 bytes", Bytes(11, 0), std::nullopt},
        {"header only", header, std::nullopt},
        {"qdcount 0", zeroCount, std::nullopt},
        {"root name", headerThen({0}), std::nullopt},
        {"name without zero byte", noZero, "foo.com"},
        {"class cut off", noClass, "a"},
        {"compression pointer that could pass for a length", longPointer, std::nullopt},
        {"label past the end", overrun, std::nullopt},
        {"non-ASCII byte", highBit, std::nullopt},
        {"length 0x41", reserved, std::string(0x41, 'x')},
        {"a dot inside the last label", headerThen({4, 'c', 'o', 'm', '.', 0, 0, 1, 0, 1}), "com", true},
    };
    for (const auto& c : cases) {
        auto q = DnsMessage::extractQName(c.datagram);
        EXPECT_EQ(q ? std::optional(q->name.text()) : std::nullopt, c.name) << c.what;
        EXPECT_EQ(q && q->typeAndClass.has_value(), c.typeAndClass) << c.what;
    }
    auto q = DnsMessage::extractQName(query(0xAB01, "x.org", 28));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->typeAndClass->type, 28);
    EXPECT_EQ(q->typeAndClass->klass, 1);
}

TEST(DnsMessage, ErrorAnswersKeepAQuestionThatCannotBeDelimited) {
    // (Whole answers, ended after the first question, are checked against the daemon.)
    Bytes cut = query(7, "example.com");
    cut.resize(cut.size() - 2);
    Bytes pointer = headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1, 0xAA});
    Bytes noQuestion = query(7, "example.com", 1, true);
    noQuestion[5] = 0;
    EXPECT_FALSE(DnsMessage::nxdomainResponse(Bytes(11, 0)));
    EXPECT_EQ(DnsMessage::nxdomainResponse(headerThen())->size(), 12u);
    EXPECT_EQ(DnsMessage::nxdomainResponse(cut)->size(), cut.size());
    EXPECT_EQ(DnsMessage::servfailResponse(pointer)->size(), pointer.size() - 1);  // after the pointer
    EXPECT_EQ(DnsMessage::servfailResponse(noQuestion)->size(), 12u);
}

TEST(DnsMessage, CnameAnswersNeedAWholeQuestionAndAValidTarget) {
    Bytes pointer = headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1});
    Bytes noClass = query(1, "a.com");
    noClass.pop_back();
    for (const Bytes& refused : {Bytes(11, 0), headerThen(), pointer, noClass}) {
        EXPECT_FALSE(DnsMessage::cnameResponse(refused, "a.com", 300)) << refused.size();
    }
    EXPECT_FALSE(DnsMessage::cnameResponse(query(1, "a.com"), std::string(64, 'x') + ".com", 300));
    EXPECT_EQ(DnsMessage::cnameResponse(query(1, "a.com"), "", 1)->back(), 0);  // the root name
}

TEST(DnsMessage, AReplyAsksTheQuerysQuestionUpToLetterCase) {
    const Bytes asked = query(9, "www.Example.com", 1, true);
    Bytes noQuestion = query(9, "www.example.com");
    noQuestion[5] = 0;
    const struct {
        const char* what;
        Bytes reply;
        bool same;
    } cases[] = {
        {"other letter case", query(1, "WWW.EXAMPLE.com"), true},
        {"another name", query(1, "www.example.org"), false},
        {"a longer name", query(1, "www.example.com.evil"), false},
        {"another type", query(1, "www.example.com", 28), false},
        {"no question", noQuestion, false},
        {"a compressed name", headerThen({3, 'w', 'w', 'w', 0xC0, 0x0C, 0, 1, 0, 1}), false},
    };
    auto question = DnsMessage::questionOf(asked);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->size(), asked.size() - 12 - 11);  // the OPT record is not part of it
    for (const auto& c : cases) {
        auto theirs = DnsMessage::questionOf(c.reply);
        EXPECT_EQ(theirs && DnsMessage::sameQuestion(*question, *theirs), c.same) << c.what;
    }
    // A label over 63 bytes is no question: its length byte could pass for a letter.
    EXPECT_FALSE(DnsMessage::questionOf(query(1, std::string(64, 'w') + ".com")));
    EXPECT_TRUE(DnsMessage::questionOf(query(1, std::string(63, 'w') + ".com")));
    // Only ASCII letters fold: bytes above it that differ by the case bit stay different.
    const Bytes upper = query(1, "\xc5.com"), lower = query(1, "\xe5.com");
    EXPECT_FALSE(DnsMessage::sameQuestion(*DnsMessage::questionOf(upper), *DnsMessage::questionOf(lower)));
}

}  // namespace
}  // namespace vesk
