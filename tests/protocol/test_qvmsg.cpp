#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/qvmsg.h"

namespace
{

typedef std::vector<uint8_t> Bytes;

Bytes Wire(CQVMSG& m)
{
    const uint8_t* p = m.GetWireData();
    return Bytes(p, p + m.GetWireSize());
}

// A received message: header fields followed by the given body bytes.
Bytes Received(uint16_t id, uint16_t code, const Bytes& body)
{
    Bytes w(8 + body.size(), 0);
    const uint8_t header[6] = {(uint8_t)id,          (uint8_t)(id >> 8),   (uint8_t)code,
                               (uint8_t)(code >> 8), (uint8_t)body.size(), (uint8_t)(body.size() >> 8)};
    std::copy(header, header + 6, w.begin());
    std::copy(body.begin(), body.end(), w.begin() + 8);
    return w;
}

Bytes Text(const char* s)
{
    return Bytes(s, s + strlen(s));
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(QvMsgWrite, StringsAreLengthPrefixedAndPaddedToFour)
{
    CQVMSG m(3, 27);
    ASSERT_TRUE(m.WriteString(""));
    ASSERT_TRUE(m.WriteString("Win32 Client"));
    ASSERT_TRUE(m.WriteString("Hello"));
    Bytes expected = Cat({{3, 0, 27, 0, 32, 0, 0, 0},
                          {0, 0, 0, 0},
                          {12, 0, 0, 0},
                          Text("Win32 Client"),
                          {5, 0, 0, 0},
                          Text("Hello"),
                          {0, 0, 0}});
    EXPECT_EQ(Wire(m), expected);
    EXPECT_EQ(m.GetCursor(), 32u);
}

TEST(QvMsgWrite, EmptyBodyAndBufferlessMessagesSendJustTheHeader)
{
    CQVMSG empty(5, MSG_GET_CHALLENGE);
    EXPECT_EQ(empty.GetWireSize(), 8u);
    EXPECT_EQ(Wire(empty), (Bytes{5, 0, 14, 0, 0, 0, 0, 0}));

    CQVMSG none(0x1234, MSG_GET_VERSION, QVMSG_MAX_LENGTH + 1);
    EXPECT_TRUE(none.IsValid());
    EXPECT_EQ(none.GetBody(), nullptr);
    EXPECT_EQ(none.GetLength(), 0u);
    none.SetId(7); // no buffer: no effect
    EXPECT_EQ(Wire(none), (Bytes{0x34, 0x12, 0xB8, 0x1F, 0, 0, 0, 0}));
    // Writing gives it a buffer after all.
    ASSERT_TRUE(none.WriteDWord(9));
    EXPECT_EQ(Wire(none), (Bytes{0x34, 0x12, 0xB8, 0x1F, 4, 0, 0, 0, 9, 0, 0, 0}));
}

TEST(QvMsgWrite, LoginBodyMatchesTheFieldList)
{
    const uint8_t response[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    CQVMSG m(0, MSG_LOGIN, 256);
    EXPECT_EQ(m.GetLength(), 256u); // the hint stands until the first write
    ASSERT_TRUE(m.WriteDWord(CLIENT_REVISION));
    ASSERT_TRUE(m.WriteDWord(0));
    ASSERT_TRUE(m.WriteString("Win32 Client 8.6 Build 522.0 Rel"));
    ASSERT_TRUE(m.WriteDWord(16));
    ASSERT_TRUE(m.WriteBlock16(response));
    ASSERT_TRUE(m.WriteDWord(2));
    ASSERT_TRUE(m.WriteString("00-11-22-33-44-55"));
    ASSERT_TRUE(m.WriteString("WINDOWS"));
    ASSERT_TRUE(m.WriteString("WINDOWS"));
    ASSERT_TRUE(m.WriteString("PC1"));

    Bytes expected = Cat({{0, 0, 27, 0, 124, 0, 0, 0},
                          {0xF8, 0x05, 0, 0},
                          {0, 0, 0, 0},
                          {32, 0, 0, 0},
                          Text("Win32 Client 8.6 Build 522.0 Rel"),
                          {16, 0, 0, 0},
                          {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                          {2, 0, 0, 0},
                          {17, 0, 0, 0},
                          Text("00-11-22-33-44-55"),
                          {0, 0, 0},
                          {7, 0, 0, 0},
                          Text("WINDOWS"),
                          {0},
                          {7, 0, 0, 0},
                          Text("WINDOWS"),
                          {0},
                          {3, 0, 0, 0},
                          Text("PC1"),
                          {0}});
    EXPECT_EQ(Wire(m), expected);

    // And the same bytes read back field by field.
    CQVMSG v(expected.data());
    uint32_t w = 0;
    uint8_t block[16];
    EXPECT_TRUE(v.ReadDWord(&w));
    EXPECT_EQ(w, 1528u);
    EXPECT_TRUE(v.ReadDWord());
    EXPECT_EQ(v.ReadString(), "Win32 Client 8.6 Build 522.0 Rel");
    EXPECT_TRUE(v.ReadDWord(&w));
    EXPECT_EQ(w, 16u);
    EXPECT_TRUE(v.ReadBytes(block, 16));
    EXPECT_EQ(0, memcmp(block, response, 16));
    EXPECT_TRUE(v.ReadDWord(&w));
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(v.ReadString(), "00-11-22-33-44-55");
    EXPECT_EQ(v.ReadString(), "WINDOWS");
    EXPECT_EQ(v.ReadString(), "WINDOWS");
    EXPECT_EQ(v.ReadString(), "PC1");
    EXPECT_EQ(v.Remaining(), 0u);
    EXPECT_FALSE(v.HasReadError());
}

TEST(QvMsgWrite, HintedLengthIsZeroFilledUntilTheFirstWrite)
{
    CQVMSG m(1, 2, 12);
    EXPECT_EQ(Wire(m), (Bytes{1, 0, 2, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(m.WriteDWord(0xAABBCCDD));
    EXPECT_EQ(Wire(m), (Bytes{1, 0, 2, 0, 4, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST(QvMsgWrite, BufferGrowsInStepsOf4096KeepingContents)
{
    EXPECT_EQ(CQVMSG(1, 2).GetCapacity(), 4096u);       // needs 8
    EXPECT_EQ(CQVMSG(1, 2, 4087).GetCapacity(), 4096u); // needs 4095
    EXPECT_EQ(CQVMSG(1, 2, 4088).GetCapacity(), 8192u); // needs 4096
    EXPECT_EQ(CQVMSG(1, 2, QVMSG_MAX_LENGTH + 1).GetCapacity(), 0u);

    CQVMSG m(1, 2);
    for (uint32_t i = 0; i < 1022; i++)
        ASSERT_TRUE(m.WriteDWord(i));
    EXPECT_EQ(m.GetCapacity(), 4096u); // 8 + 4088 bytes
    ASSERT_TRUE(m.WriteDWord(1022));
    EXPECT_EQ(m.GetCapacity(), 8192u);
    m.Rewind();
    uint32_t v = 0;
    for (uint32_t i = 0; i < 1023; i++) {
        ASSERT_TRUE(m.ReadDWord(&v));
        ASSERT_EQ(v, i);
    }
}

TEST(QvMsgWrite, BodyNeverGrowsPastTheWireLimit)
{
    CQVMSG m(1, 2);
    ASSERT_TRUE(m.WriteString(std::string(QVMSG_MAX_LENGTH - 8, 'x')));
    ASSERT_TRUE(m.WriteDWord(1));
    EXPECT_EQ(m.GetLength(), QVMSG_MAX_LENGTH);
    uint8_t block[16] = {0};
    EXPECT_FALSE(m.WriteDWord(2));
    EXPECT_FALSE(m.WriteString(""));
    EXPECT_FALSE(m.WriteBlock16(block));
    EXPECT_EQ(m.GetLength(), QVMSG_MAX_LENGTH);

    CQVMSG big(1, 2);
    EXPECT_FALSE(big.WriteString(std::string(QVMSG_MAX_LENGTH - 3, 'y'))); // 4 + padded length too long
    EXPECT_FALSE(big.WriteBlock16(nullptr));
    EXPECT_EQ(big.GetLength(), 0u);
}

TEST(QvMsgRead, Utf16StringHasHalfTheCharactersAndAlignedAdvance)
{
    Bytes w =
        Received(9, MSG_GET_VERSION_REPLY, {0x06, 0, 0, 0x80, 'A', 0, 'B', 0, 'C', 0, 0, 0, 7, 0, 0, 0});
    CQVMSG v(w.data());
    std::string s;
    ASSERT_TRUE(v.ReadString(&s));
    EXPECT_EQ(s, "ABC");
    EXPECT_EQ(v.GetCursor(), 12u);
    uint32_t word = 0;
    EXPECT_TRUE(v.ReadDWord(&word));
    EXPECT_EQ(word, 7u);
}

TEST(QvMsgRead, ErrorFlagStopsStringsButNotWordsOrBytes)
{
    Bytes w = Received(1, 15, {0, 0, 0, 0, 0xAA, 0xBB, 0xCC});
    CQVMSG v(w.data());
    EXPECT_EQ(v.ReadString(), "");
    EXPECT_EQ(v.GetCursor(), 4u);
    EXPECT_FALSE(v.ReadDWord());
    EXPECT_TRUE(v.HasReadError());
    EXPECT_EQ(v.GetCursor(), 4u);

    v.Rewind();
    std::string s = "unchanged";
    EXPECT_FALSE(v.ReadString(&s)); // a valid empty string lies here, yet nothing is read
    EXPECT_EQ(s, "unchanged");
    EXPECT_EQ(v.GetCursor(), 0u);
    EXPECT_TRUE(v.ReadDWord()); // words neither test nor clear the flag
    EXPECT_TRUE(v.HasReadError());
    uint8_t three[3];
    EXPECT_TRUE(v.ReadBytes(three, 3));
    EXPECT_EQ(three[2], 0xCC);
    EXPECT_EQ(v.GetCursor(), 7u); // padding skip stops at the body's end
    EXPECT_FALSE(v.ReadBytes(three, 1));
}

TEST(QvMsgRead, LengthsRunningPastTheBodyFailWithoutMoving)
{
    const uint32_t lengths[] = {5, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000006, 0xFFFFFFFD};
    for (uint32_t len : lengths) {
        Bytes w = Received(1, 15,
                           {(uint8_t)len, (uint8_t)(len >> 8), (uint8_t)(len >> 16), (uint8_t)(len >> 24),
                            'a', 'b', 'c', 'd'});
        CQVMSG v(w.data());
        std::string s = "x";
        EXPECT_FALSE(v.ReadString(&s)) << len;
        EXPECT_TRUE(v.HasReadError());
        EXPECT_EQ(v.GetCursor(), 0u);
        EXPECT_EQ(s, "x");
        if (len > 8) {
            EXPECT_FALSE(v.ReadBytes(nullptr, len));
            EXPECT_EQ(v.GetCursor(), 0u);
        }
    }
    Bytes odd = Received(1, 15, {4, 0, 0, 0, 'a', 'b', 'c', 'd'});
    CQVMSG v(odd.data());
    EXPECT_EQ(v.ReadString(), "abcd");
    EXPECT_FALSE(v.ReadString(nullptr)); // no length word left
}

TEST(QvMsgView, OversizedHeaderGivesTheInvalidMessage)
{
    Bytes big(8 + QVMSG_MAX_LENGTH, 0);
    big[0] = 3;
    big[2] = 0xBD; // code 8125
    big[3] = 0x1F;
    big[4] = (uint8_t)QVMSG_MAX_LENGTH;
    big[5] = (uint8_t)(QVMSG_MAX_LENGTH >> 8);
    big[6] = (uint8_t)(QVMSG_MAX_LENGTH >> 16);
    CQVMSG ok(big.data());
    EXPECT_TRUE(ok.IsValid());
    EXPECT_EQ(ok.GetLength(), QVMSG_MAX_LENGTH);
    EXPECT_EQ(ok.GetCode(), 8125);

    big[4]++; // 2,000,001
    CQVMSG bad(big.data());
    EXPECT_FALSE(bad.IsValid());
    EXPECT_EQ(bad.GetId(), 0xFFFF);
    EXPECT_EQ(bad.GetCode(), 0xFFFF);
    EXPECT_EQ(bad.GetLength(), 0u);
    EXPECT_EQ(bad.GetBody(), nullptr);
    EXPECT_FALSE(bad.ReadDWord());
    EXPECT_FALSE(bad.WriteDWord(1));
    CQVMSG* copy = bad.Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_FALSE(copy->IsValid());
    delete copy;
}

TEST(QvMsgView, ViewsNeverWriteIntoTheMemoryTheyParse)
{
    Bytes w = Received(4, 15, {1, 0, 0, 0});
    const Bytes before = w;
    CQVMSG v(w.data());
    EXPECT_FALSE(v.OwnsBuffer());
    EXPECT_FALSE(v.WriteDWord(2));
    EXPECT_FALSE(v.WriteString("abc"));
    EXPECT_EQ(Wire(v), before);
    EXPECT_EQ(w, before);
    v.SetId(6); // a changed id must still reach the wire image
    EXPECT_EQ(Wire(v)[0], 6);
}

TEST(QvMsgView, CloneOwnsAnIndependentCopy)
{
    Bytes w = Received(0x7FFF, 8131, {3, 0, 0, 0, 'a', 'b', 'c', 0});
    CQVMSG v(w.data());
    v.ReadDWord();
    CQVMSG* c = v.Clone();
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->OwnsBuffer());
    EXPECT_EQ(c->GetCursor(), 0u);
    EXPECT_EQ(Wire(*c), w);
    std::fill(w.begin(), w.end(), 0xEE); // the receive buffer moves on
    uint32_t n = 0;
    uint8_t data[3];
    EXPECT_TRUE(c->ReadDWord(&n));
    EXPECT_TRUE(c->ReadBytes(data, n));
    EXPECT_EQ(0, memcmp(data, "abc", 3));
    c->SetId(42);
    EXPECT_EQ(Wire(*c)[0], 42);
    delete c;
}

TEST(QvMsgCodes, ReplyCodeIsRequestPlusOneIn16Bits)
{
    EXPECT_EQ(CQVMSG::ReplyCode(MSG_GET_CHALLENGE), MSG_GET_CHALLENGE_REPLY);
    EXPECT_EQ(CQVMSG::ReplyCode(MSG_LOGIN), MSG_LOGIN_REPLY);
    EXPECT_EQ(CQVMSG::ReplyCode(MSG_GET_VERSION), MSG_GET_VERSION_REPLY);
    EXPECT_EQ(CQVMSG::ReplyCode(65535), 0);
}
