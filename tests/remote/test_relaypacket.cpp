// Relay datagrams and discovery-server messages: golden bytes for every builder,
// and parsers fed short, long and foreign datagrams.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "remote/netaddr.h"
#include "remote/relaypacket.h"
#include "util/qvtypes.h"

namespace
{

typedef std::vector<uint8_t> Bytes;

Bytes Built(int (*build)(uint8_t*))
{
    uint8_t out[STUN_LARGE_RECEIVE];
    int n = build(out);
    return Bytes(out, out + n);
}

template <typename F> Bytes Build(F build)
{
    uint8_t out[STUN_LARGE_RECEIVE];
    memset(out, 0xEE, sizeof(out));
    int n = build(out);
    if (n < 0) return Bytes();
    return Bytes(out, out + n);
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}
Bytes Zeros(size_t n)
{
    return Bytes(n, 0);
}

const QVSockAddr kController = MakeSockAddr(MakeIPv4(203, 0, 113, 7), 6000);
// family 2 little-endian, port 6000 big-endian, 203.0.113.7, eight zero bytes
const Bytes kControllerRecord = {2, 0, 0x17, 0x70, 203, 0, 113, 7, 0, 0, 0, 0, 0, 0, 0, 0};

struct GoldenCase {
    const char* what;
    Bytes built;
    Bytes expected;
};

TEST(RelayPacket, BuildersWriteTheGoldenBytes)
{
    const std::string name64(64, 'N');
    const uint16_t acks[8] = {1, 2, 3, 0x0100, 0x7FFF, 0xFFFE, 0, 9};
    const GoldenCase cases[] = {
        {"probe", Build([](uint8_t* o) { return BuildProbe(o, 0); }), {10, 0, 0, 0, 0}},
        {"probe ack", Build([](uint8_t* o) {
             return BuildProbeAck(o, StunProbeAck{kController, 0x01020304});
         }),
         Cat({{11}, kControllerRecord, {4, 3, 2, 1}})},
        {"list count", Build([](uint8_t* o) { return BuildListCountRequest(o, 0); }), {17, 0, 0, 0, 0, 0}},
        {"list entry 3",
         Build([](uint8_t* o) { return BuildListEntryRequest(o, 3, 0x12345678); }),
         {17, 3, 0x78, 0x56}},
        {"list count ack",
         Build([](uint8_t* o) { return BuildListCountAck(o, 40); }),
         {18, 0, 0, 0, 0, 40, 0, 0, 0}},
        {"find ABC", Build([](uint8_t* o) { return BuildLookup(o, STUN_FIND, "ABC"); }),
         Cat({{2, 'A', 'B', 'C'}, Zeros(61)})},
        {"find relay, 64 characters, no terminator",
         Build([&](uint8_t* o) { return BuildLookup(o, STUN_FIND_RELAY, name64); }),
         Cat({{12}, Text(name64)})},
        {"find, longer name cut at 64",
         Build([&](uint8_t* o) { return BuildLookup(o, STUN_FIND, name64 + "TAIL"); }),
         Cat({{2}, Text(name64)})},
        {"find ack", Build([](uint8_t* o) { return BuildFindAck(o, kController); }),
         Cat({{3}, kControllerRecord})},
        {"find nack", Built(BuildFindNack), {4}},
        {"turn ack, port 6000 little-endian",
         Build([](uint8_t* o) { return BuildTurnAck(o, 0x0A0B0C0D, 6000); }),
         {13, 0x0D, 0x0C, 0x0B, 0x0A, 0x70, 0x17}},
        {"tcp ack", Build([](uint8_t* o) { return BuildTcpAck(o, kController); }),
         Cat({{14}, kControllerRecord})},
        {"hello", Build([](uint8_t* o) { return BuildStunSingle(o, STUN_HELLO); }), {6}},
        {"hello ack", Build([](uint8_t* o) { return BuildStunSingle(o, STUN_HELLO_ACK); }), {7}},
        {"bye", Build([](uint8_t* o) { return BuildStunSingle(o, STUN_BYE); }), {8}},
        {"params ack", Build([](uint8_t* o) { return BuildStunSingle(o, STUN_PARAMS_ACK); }), {23}},
        {"params proposed",
         Build([](uint8_t* o) { return BuildParams(o, STUN_PARAMS_PROPOSED); }),
         {22, 0x6E, 5, 0, 0, 24, 0, 0, 0, 8, 0, 0, 0, 128, 0, 0, 0, 127, 0, 0, 0, 0, 2, 0, 0}},
        {"params initial",
         Build([](uint8_t* o) { return BuildParams(o, STUN_PARAMS_INITIAL); }),
         {22, 0xFD, 1, 0, 0, 24, 0, 0, 0, 8, 0, 0, 0, 24, 0, 0, 0, 4, 0, 0, 0, 0x80, 1, 0, 0}},
        {"data",
         Build([](uint8_t* o) {
             return BuildDataPacket(o, 2048, 0x0102, (const uint8_t*)"xy", 2, STUN_NO_ACK);
         }),
         {128, 2, 1, 'x', 'y'}},
        {"data with ack",
         Build([](uint8_t* o) { return BuildDataPacket(o, 2048, 32255, (const uint8_t*)"xy", 2, 0x0A0B); }),
         {129, 0xFF, 0x7D, 'x', 'y', 0x0B, 0x0A}},
        {"rx ack of 8",
         Build([&](uint8_t* o) { return BuildRxAck(o, acks, 8); }),
         {130, 1, 0, 2, 0, 3, 0, 0, 1, 0xFF, 0x7F, 0xFE, 0xFF, 0, 0, 9, 0}},
        {"rx ack of 9 refused", Build([&](uint8_t* o) { return BuildRxAck(o, acks, 9); }), {}},
        {"rx ack of 0 refused", Build([&](uint8_t* o) { return BuildRxAck(o, acks, 0); }), {}},
        {"data too long for the buffer",
         Build([](uint8_t* o) { return BuildDataPacket(o, 6, 1, (const uint8_t*)"xy", 2, 7); }),
         {}},
        {"empty data",
         Build([](uint8_t* o) { return BuildDataPacket(o, 64, 1, o + 3, 0, STUN_NO_ACK); }),
         {}},
    };
    for (const GoldenCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.built, c.expected);
    }
}

TEST(RelayPacket, DiscoveryQueryGoldenBytes)
{
    // Zizu: header with payload 16, then the name item twice.
    const Bytes zizu = {0,   0,   0x53, 0x46, 16, 0, 0, 0, 4,   0,   0,   0,
                        'Z', 'i', 'z',  'u',  4,  0, 0, 0, 'Z', 'i', 'z', 'u'};
    EXPECT_EQ(BuildDServerQuery("Zizu"), zizu);

    // Five characters: items of 4 + 8 bytes, three zero bytes of padding each.
    const Bytes five = {0,   0, 0x53, 0x46, 24, 0, 0, 0, 5,   0,   0,   0,   'H', 'o', 'u', 's',
                        'e', 0, 0,    0,    5,  0, 0, 0, 'H', 'o', 'u', 's', 'e', 0,   0,   0};
    EXPECT_EQ(BuildDServerQuery("House"), five);
    EXPECT_EQ(BuildDServerQuery("").size(), 16u);
}

TEST(RelayPacket, AddressRecordKeepsNetworkOrderAndShowsAsText)
{
    uint8_t wire[STUN_ADDRESS_RECORD];
    PutAddressRecord(wire, kController);
    EXPECT_EQ(Bytes(wire, wire + 16), kControllerRecord);
    QVSockAddr back = GetAddressRecord(wire);
    EXPECT_EQ(memcmp(&back, &kController, sizeof(back)), 0);
    EXPECT_EQ(FormatAddressRecord(back), "203.0.113.7:6000");

    // A received record is used unchanged, its trailing bytes included.
    Bytes odd = kControllerRecord;
    odd[15] = 0x5A;
    QVSockAddr kept = GetAddressRecord(odd.data());
    PutAddressRecord(wire, kept);
    EXPECT_EQ(Bytes(wire, wire + 16), odd);
}

TEST(RelayPacket, TypeNamesAreThirteenCharactersOrUnknown)
{
    // The types with a log name; every other byte value reads "Unknown".
    const std::map<int, std::string> names = {
        {0, "ENROLL       "},   {1, "ENROLL ACK   "},   {2, "FIND         "},  {3, "FIND ACK     "},
        {4, "FIND NACK    "},   {5, "SENDTO       "},   {6, "HELLO        "},  {7, "HELLO ACK    "},
        {8, "BYE          "},   {9, "BYE ACK      "},   {31, "NO-OP        "}, {128, "TX PACKET    "},
        {129, "TX PACKET+ACK"}, {130, "RX ACK       "},
    };
    for (int type = 0; type < 256; type++) {
        SCOPED_TRACE(type);
        const auto named = names.find(type);
        EXPECT_STREQ(StunTypeName(type), named == names.end() ? "Unknown" : named->second.c_str());
        EXPECT_EQ(strlen(StunTypeName(type)), named == names.end() ? 7u : 13u);
        // Taken modulo 256.
        EXPECT_STREQ(StunTypeName(type + 256), StunTypeName(type));
        EXPECT_STREQ(StunTypeName(type - 256), StunTypeName(type));
    }
}

TEST(RelayPacket, LookupAnswersOnlyTheFourDecisiveTypes)
{
    StunLookupAnswer a;
    // TURN port bytes 0x70 0x17 are port 6000, read little-endian.
    const Bytes turn = {13, 0x0D, 0x0C, 0x0B, 0x0A, 0x70, 0x17};
    ASSERT_TRUE(ParseLookupAnswer(turn.data(), (int)turn.size(), &a));
    EXPECT_EQ(a.type, STUN_TURN_ACK);
    EXPECT_EQ(a.dwSessionId, 0x0A0B0C0Du);
    EXPECT_EQ(a.wPort, 6000);

    const Bytes find = Cat({{3}, kControllerRecord});
    ASSERT_TRUE(ParseLookupAnswer(find.data(), (int)find.size(), &a));
    EXPECT_EQ(a.type, STUN_FIND_ACK);
    EXPECT_EQ(FormatAddressRecord(a.address), "203.0.113.7:6000");

    const Bytes tcp = Cat({{14}, kControllerRecord, Zeros(100)});
    ASSERT_TRUE(ParseLookupAnswer(tcp.data(), (int)tcp.size(), &a));
    EXPECT_EQ(a.type, STUN_TCP_ACK);
    EXPECT_EQ(a.address.addr, kController.addr);

    const Bytes nack = {4};
    ASSERT_TRUE(ParseLookupAnswer(nack.data(), 1, &a));
    EXPECT_EQ(a.type, STUN_FIND_NACK);

    // Truncated decisive answers and every other type leave the lookup waiting.
    EXPECT_FALSE(ParseLookupAnswer(find.data(), 16, &a));
    EXPECT_FALSE(ParseLookupAnswer(tcp.data(), 16, &a));
    EXPECT_FALSE(ParseLookupAnswer(turn.data(), 6, &a));
    EXPECT_FALSE(ParseLookupAnswer(nack.data(), 0, &a));
    EXPECT_FALSE(ParseLookupAnswer(nack.data(), -1, &a));
    EXPECT_FALSE(ParseLookupAnswer(nullptr, 17, &a));
    for (int type = 0; type < 256; type++) {
        if (type == 3 || type == 4 || type == 13 || type == 14) continue;
        Bytes other = Cat({{(uint8_t)type}, kControllerRecord, Zeros(8)});
        EXPECT_FALSE(ParseLookupAnswer(other.data(), (int)other.size(), &a)) << type;
    }
}

TEST(RelayPacket, AcknowledgementListCountsWholeNumbers)
{
    const struct {
        int length;
        bool ok;
        int count;
    } cases[] = {
        {1, false, 0}, {2, false, 0}, {3, true, 1},  {4, true, 1},   {5, true, 2},
        {16, true, 7}, {17, true, 8}, {18, true, 8}, {19, false, 0}, {64, false, 0},
    };
    Bytes wire(64);
    wire[0] = STUN_RX_ACK;
    for (int i = 1; i < 64; i++)
        wire[i] = (uint8_t)i;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        StunRxAck ack;
        ASSERT_EQ(ParseRxAck(wire.data(), c.length, &ack), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(ack.nCount, c.count);
        for (int i = 0; i < ack.nCount; i++)
            EXPECT_EQ(ack.awSequence[i], (uint16_t)((2 * i + 1) | ((2 * i + 2) << 8)));
    }
    // The 17-byte list with an odd trailing byte: still the same 8 numbers.
    const uint16_t eight[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    uint8_t out[STUN_RX_ACK_LENGTH_MAX + 1];
    ASSERT_EQ(BuildRxAck(out, eight, 8), 17);
    out[17] = 0xAB;
    StunRxAck ack;
    ASSERT_TRUE(ParseRxAck(out, 18, &ack));
    ASSERT_EQ(ack.nCount, 8);
    EXPECT_EQ(ack.awSequence[7], 17);
    out[0] = STUN_TX_PACKET;
    EXPECT_FALSE(ParseRxAck(out, 17, &ack));
}

TEST(RelayPacket, DataPacketsBoundedByTheirType)
{
    const uint32_t maxPayload = 10;
    const struct {
        uint8_t type;
        int length;
        bool ok;
        int payload;
    } cases[] = {
        {128, 3, false, 0},  {128, 4, true, 1},   {128, 13, true, 10}, {128, 14, false, 0},
        {129, 5, false, 0},  {129, 6, true, 1},   {129, 13, true, 8},  {129, 14, false, 0},
        {130, 13, false, 0}, {127, 13, false, 0}, {128, -4, false, 0},
    };
    Bytes wire(32);
    for (int i = 0; i < 32; i++)
        wire[i] = (uint8_t)(0x40 + i);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.length));
        wire[0] = c.type;
        StunDataPacket p;
        ASSERT_EQ(ParseDataPacket(wire.data(), c.length, maxPayload, &p), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(p.wSequence, 0x4241);
        EXPECT_EQ(p.pPayload, wire.data() + 3);
        EXPECT_EQ(p.nPayload, c.payload);
        if (c.type == 129)
            EXPECT_EQ(p.wAck, GetLE16(wire.data() + c.length - 2));
        else
            EXPECT_EQ(p.wAck, STUN_NO_ACK);
    }
    // A maximum payload below 3 leaves no room for an acknowledgement at all.
    wire[0] = 129;
    StunDataPacket p;
    EXPECT_FALSE(ParseDataPacket(wire.data(), 6, 2, &p));
    EXPECT_FALSE(ParseDataPacket(wire.data(), 6, 0, &p));

    // Built in place inside a slot buffer, as a ring does.
    uint8_t slot[16];
    memcpy(slot + 3, "payload", 7);
    ASSERT_EQ(BuildDataPacket(slot, 16, 7, slot + 3, 7, 0x0102), 12);
    ASSERT_TRUE(ParseDataPacket(slot, 12, 9, &p));
    EXPECT_EQ(std::string((const char*)p.pPayload, p.nPayload), "payload");
    EXPECT_EQ(p.wAck, 0x0102);
}

TEST(RelayPacket, ServerAnswersRefusedWhenShort)
{
    // Every parser of a fixed layout at every length below its minimum, and at
    // negative lengths, refuses without reading.
    Bytes area(STUN_LIST_ENTRY_ACK_LENGTH, 0x31);
    StunProbeAck probeAck;
    StunListEntry entry;
    TransferParams params;
    uint32_t value;
    uint8_t number;
    StunPacketType type;
    std::string name;
    const struct {
        const char* what;
        uint8_t type;
        int minimum;
        std::function<bool(const uint8_t*, int)> parse;
    } parsers[] = {
        {"probe", STUN_PROBE, 5, [&](const uint8_t* d, int n) { return ParseProbe(d, n, &value); }},
        {"probe ack", STUN_PROBE_ACK, 21,
         [&](const uint8_t* d, int n) { return ParseProbeAck(d, n, &probeAck); }},
        {"list count ack", STUN_LIST_ACK, 9,
         [&](const uint8_t* d, int n) { return ParseListCountAck(d, n, &value); }},
        {"list entry ack", STUN_LIST_ACK, 195,
         [&](const uint8_t* d, int n) { return ParseListEntryAck(d, n, &entry); }},
        {"list entry request", STUN_LIST, 4,
         [&](const uint8_t* d, int n) { return ParseListRequest(d, n, &number, &value); }},
        {"lookup", STUN_FIND, 65, [&](const uint8_t* d, int n) { return ParseLookup(d, n, &type, &name); }},
        {"params", STUN_PARAMS, 25, [&](const uint8_t* d, int n) { return ParseParams(d, n, &params); }},
    };
    for (const auto& p : parsers) {
        SCOPED_TRACE(p.what);
        area[0] = p.type;
        for (int n = -2; n < p.minimum; n++) {
            // A copy of exactly n bytes, so a read past it is a sanitizer report.
            Bytes exact(area.begin(), area.begin() + (n > 0 ? n : 0));
            EXPECT_FALSE(p.parse(exact.empty() ? nullptr : exact.data(), n)) << n;
        }
        Bytes whole(area.begin(), area.begin() + p.minimum);
        EXPECT_TRUE(p.parse(whole.data(), p.minimum));
        whole[0] = (uint8_t)(p.type + 1);
        EXPECT_FALSE(p.parse(whole.data(), p.minimum));
    }
    // The count request needs its whole 4-byte tag.
    const Bytes count5 = {17, 0, 1, 2, 3};
    EXPECT_FALSE(ParseListRequest(count5.data(), 5, &number, &value));
    const Bytes count6 = {17, 0, 1, 2, 3, 4};
    ASSERT_TRUE(ParseListRequest(count6.data(), 6, &number, &value));
    EXPECT_EQ(number, 0);
    EXPECT_EQ(value, 0x04030201u);
}

TEST(RelayPacket, ListEntryFieldsComeBackTerminatedAndNulPadded)
{
    Bytes wire(STUN_LIST_ENTRY_ACK_LENGTH, 0);
    wire[0] = STUN_LIST_ACK;
    memcpy(&wire[1], "Relay\0garbage", 13);
    memcpy(&wire[65], "10.0.0.5\0xyz", 12);
    wire[193] = 0x34;
    wire[194] = 0x21;
    StunListEntry e;
    memset(&e, 0x77, sizeof(e));
    ASSERT_TRUE(ParseListEntryAck(wire.data(), (int)wire.size(), &e));
    EXPECT_STREQ(e.szName, "Relay");
    EXPECT_STREQ(e.szHost, "10.0.0.5");
    EXPECT_EQ(e.wPort, 0x2134);
    for (size_t i = 5; i < sizeof(e.szName); i++)
        EXPECT_EQ(e.szName[i], 0) << i;
    for (size_t i = 8; i < sizeof(e.szHost); i++)
        EXPECT_EQ(e.szHost[i], 0) << i;

    // Full fields: 63 name characters and 127 host characters are kept.
    memset(&wire[1], 'n', 64);
    memset(&wire[65], 'h', 128);
    ASSERT_TRUE(ParseListEntryAck(wire.data(), (int)wire.size(), &e));
    EXPECT_EQ(std::string(e.szName), std::string(63, 'n'));
    EXPECT_EQ(std::string(e.szHost), std::string(127, 'h'));

    // Built back, the fields are NUL-padded on the wire too.
    uint8_t out[STUN_LIST_ENTRY_ACK_LENGTH];
    StunListEntry clean = {};
    strcpy(clean.szName, "Relay");
    strcpy(clean.szHost, "10.0.0.5");
    clean.wPort = 8500;
    ASSERT_EQ(BuildListEntryAck(out, clean), 195);
    Bytes expected(195, 0);
    expected[0] = 18;
    memcpy(&expected[1], "Relay", 5);
    memcpy(&expected[65], "10.0.0.5", 8);
    expected[193] = 8500 & 0xFF;
    expected[194] = 8500 >> 8;
    EXPECT_EQ(Bytes(out, out + 195), expected);
}

TEST(RelayPacket, LookupRequestNameComesBackWhole)
{
    uint8_t out[STUN_FIND_LENGTH];
    StunPacketType type;
    std::string name;
    const std::string names[] = {"", "Zizu", std::string(63, 'x'), std::string(64, 'y')};
    for (const std::string& n : names) {
        BuildLookup(out, STUN_FIND_RELAY, n);
        ASSERT_TRUE(ParseLookup(out, STUN_FIND_LENGTH, &type, &name));
        EXPECT_EQ(type, STUN_FIND_RELAY);
        EXPECT_EQ(name, n);
    }
}

TEST(RelayPacket, SequenceModulusIsAMultipleOfTheSlots)
{
    const uint32_t cases[][2] = {{384, 32640},   {512, 32256},   {1, 32767},
                                 {32767, 32767}, {40000, 40000}, {0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(StunSequenceModulus(c[0]), c[1]) << c[0];
}

Bytes DServerAnswerBytes(const Bytes& payload, uint16_t command = DSERVER_ANSWER)
{
    Bytes m(8, 0);
    m[2] = (uint8_t)command;
    m[3] = (uint8_t)(command >> 8);
    uint32_t n = (uint32_t)payload.size();
    m[4] = (uint8_t)n;
    m[5] = (uint8_t)(n >> 8);
    m[6] = (uint8_t)(n >> 16);
    m[7] = (uint8_t)(n >> 24);
    return Cat({m, payload});
}

TEST(RelayPacket, DiscoveryAnswerItemsReadInOrder)
{
    // found 1, licensed 0, "10.0.0.50" (9 bytes, 3 of padding counted from the
    // item), port 4660, open 1, relay 0.
    const Bytes payload = Cat({{1, 0, 9, 0, 0, 0}, Text("10.0.0.50"), {0, 0, 0}, {0x34, 0x12, 1, 0}});
    const Bytes wire = DServerAnswerBytes(payload);
    DServerAnswer a;
    ASSERT_TRUE(DecodeDServerAnswer(wire.data(), (int)wire.size(), &a));
    EXPECT_EQ(a.bFound, 1);
    EXPECT_EQ(a.bLicensed, 0);
    EXPECT_STREQ(a.szAddress, "10.0.0.50");
    EXPECT_EQ(a.wPort, 0x1234);
    EXPECT_EQ(a.bOpen, 1);
    EXPECT_EQ(a.bRelay, 0);
    EXPECT_EQ(EncodeDServerAnswer(a), wire);

    // A NUL inside the address ends it; the item still counts whole.
    const Bytes nul =
        DServerAnswerBytes(Cat({{1, 1, 8, 0, 0, 0}, Text(std::string("1.2\0junk", 8)), {0x50, 0, 0, 1}}));
    ASSERT_TRUE(DecodeDServerAnswer(nul.data(), (int)nul.size(), &a));
    EXPECT_STREQ(a.szAddress, "1.2");
    for (size_t i = 3; i < sizeof(a.szAddress); i++)
        EXPECT_EQ(a.szAddress[i], 0) << i;
    EXPECT_EQ(a.wPort, 80);
    EXPECT_EQ(a.bRelay, 1);

    // Another command: not found, whatever the payload.
    const Bytes query = DServerAnswerBytes(payload, DSERVER_QUERY);
    EXPECT_FALSE(DecodeDServerAnswer(query.data(), (int)query.size(), &a));
    EXPECT_FALSE(DecodeDServerAnswer(wire.data(), 7, &a));
    EXPECT_FALSE(DecodeDServerAnswer(nullptr, 8, &a));
}

TEST(RelayPacket, DiscoveryAnswerItemsPastThePayloadReadEmpty)
{
    const struct {
        const char* what;
        Bytes payload;
        int cut; // bytes of the message handed over; -1: all
        const char* address;
        uint16_t port;
        uint8_t relay;
    } cases[] = {
        {"empty payload", {}, -1, "", 0, 0},
        {"flags only", {1, 1}, -1, "", 0, 0},
        {"string bytes past the end", Cat({{1, 1, 8, 0, 0, 0}, Text("10.0.0")}), -1, "", 0, 0},
        {"padding past the end", Cat({{1, 1, 5, 0, 0, 0}, Text("1.2.3")}), -1, "", 0, 0},
        {"relay flag missing", Cat({{1, 1, 4, 0, 0, 0}, Text("1.2."), {0x10, 0, 1}}), -1, "1.2.", 16, 0},
        {"63 bytes kept", Cat({{1, 1, 63, 0, 0, 0}, Text(std::string(63, '7')), {0, 0, 1, 1, 1}}), -1,
         "777777777777777777777777777777777777777777777777777777777777777", 256, 1},
        {"64 bytes leave the address empty, the rest is read",
         Cat({{1, 1, 64, 0, 0, 0}, Text(std::string(64, '8')), {0x50, 0, 1, 1}}), -1, "", 80, 1},
        {"huge count", Cat({{1, 1, 0xFF, 0xFF, 0xFF, 0xFF}, Text("1.2.3.4"), {0, 0, 0, 0, 0}}), -1, "", 0, 0},
        {"header announces more than arrived", Cat({{1, 1, 4, 0, 0, 0}, Text("1.2."), {0x10, 0, 1, 1}}),
         8 + 10, "1.2.", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes wire = DServerAnswerBytes(c.payload);
        int length = c.cut < 0 ? (int)wire.size() : c.cut;
        Bytes exact(wire.begin(), wire.begin() + length);
        DServerAnswer a;
        ASSERT_TRUE(DecodeDServerAnswer(exact.data(), length, &a));
        EXPECT_STREQ(a.szAddress, c.address);
        EXPECT_EQ(a.wPort, c.port);
        EXPECT_EQ(a.bRelay, c.relay);
    }
    // Bytes beyond the announced payload are not items.
    Bytes longer = Cat({DServerAnswerBytes({1, 1}), {4, 0, 0, 0}, Text("1.2."), {0x10, 0, 1, 1}});
    DServerAnswer a;
    ASSERT_TRUE(DecodeDServerAnswer(longer.data(), (int)longer.size(), &a));
    EXPECT_EQ(a.bFound, 1);
    EXPECT_STREQ(a.szAddress, "");
}

TEST(RelayPacket, DiscoveryAnswerOfExactly1024BytesIsTheLimit)
{
    // The address item, then filler that the reader never reaches.
    Bytes payload = Cat({{1, 1, 8, 0, 0, 0}, Text("10.1.2.3"), {0x22, 0x11, 1, 1}});
    payload.resize(1024 - 8, 0x55);
    Bytes wire = DServerAnswerBytes(payload);
    ASSERT_EQ(wire.size(), 1024u);
    DServerAnswer a;
    ASSERT_TRUE(DecodeDServerAnswer(wire.data(), (int)wire.size(), &a));
    EXPECT_STREQ(a.szAddress, "10.1.2.3");
    EXPECT_EQ(a.wPort, 0x1122);
    uint16_t command;
    uint32_t payloadLength;
    ASSERT_TRUE(ParseDServerHeader(wire.data(), 8, &command, &payloadLength));
    EXPECT_TRUE(DServerMessageFits(payloadLength));

    payload.push_back(0);
    wire = DServerAnswerBytes(payload);
    EXPECT_FALSE(DecodeDServerAnswer(wire.data(), (int)wire.size(), &a));
    ASSERT_TRUE(ParseDServerHeader(wire.data(), 8, &command, &payloadLength));
    EXPECT_FALSE(DServerMessageFits(payloadLength));
    EXPECT_FALSE(DServerMessageFits(0xFFFFFFFFu));
}

} // namespace
