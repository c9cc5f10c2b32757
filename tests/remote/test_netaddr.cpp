#include <gtest/gtest.h>

#include <string>

#include "remote/netaddr.h"
#include "util/qvsocket.h"

namespace
{

// Sockets must be started before any test runs (Windows Sockets needs it).
const bool kSocketsStarted = SocketStartup();

TEST(NetAddr, MacToAddressReplacesZeroAndAllOnesByPosition)
{
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x00, 0xFF};
    EXPECT_EQ(FormatIPv4(MacToAddress(mac)), "1.2.51.34");

    const uint8_t ordinary[6] = {0xAA, 0xBB, 0x0A, 0x14, 0x1E, 0x28};
    EXPECT_EQ(FormatIPv4(MacToAddress(ordinary)), "40.30.20.10");

    const uint8_t degenerate[6] = {0x12, 0x34, 0xFF, 0x00, 0xFF, 0x00};
    EXPECT_EQ(FormatIPv4(MacToAddress(degenerate)), "1.2.3.4");
}

TEST(NetAddr, ParseDottedAddressPutsFirstFieldInLowestByte)
{
    uint32_t v = ParseIPv4("192.168.0.7");
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&v);
    EXPECT_EQ(bytes[0], 192);
    EXPECT_EQ(bytes[1], 168);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 7);
    EXPECT_EQ(v, MakeIPv4(192, 168, 0, 7));
}

TEST(NetAddr, ParseRepeatsLastFieldForMissingOnes)
{
    EXPECT_EQ(FormatIPv4(ParseIPv4("10.1")), "10.1.1.1");
    EXPECT_EQ(FormatIPv4(ParseIPv4("7")), "7.7.7.7");
    EXPECT_EQ(FormatIPv4(ParseIPv4("10.2.3")), "10.2.3.3");
    EXPECT_EQ(FormatIPv4(ParseIPv4("255.255.255.0")), "255.255.255.0");
    EXPECT_EQ(ParseIPv4("0.0.0.0"), 0u);
    // Text after a fourth field is ignored.
    EXPECT_EQ(FormatIPv4(ParseIPv4("1.2.3.4.5.6")), "1.2.3.4");
}

TEST(NetAddr, ParseSurvivesAnyText)
{
    EXPECT_EQ(ParseIPv4(""), 0u);
    EXPECT_EQ(ParseIPv4("garbage"), 0u);
    EXPECT_EQ(ParseIPv4("...."), 0u);
    EXPECT_EQ(FormatIPv4(ParseIPv4("12abc.x.34")), "12.0.34.34");
    // Each field keeps its low eight bits, negative ones included.
    EXPECT_EQ(FormatIPv4(ParseIPv4("256.-1.300.1")), "0.255.44.1");
    // Digits that would overflow any integer saturate instead.
    std::string huge(100000, '9');
    uint32_t v = ParseIPv4(huge + "." + huge);
    EXPECT_EQ(FormatIPv4(v), "255.255.255.255");
    std::string dots(100000, '.');
    EXPECT_EQ(ParseIPv4(dots), 0u);
    std::string withNul("10.1", 4);
    withNul += std::string(1, '\0') + "99.5";
    EXPECT_EQ(FormatIPv4(ParseIPv4(withNul)), "10.1.5.5");
}

TEST(NetAddr, FormatAndRecords)
{
    EXPECT_EQ(FormatIPv4(0u), "0.0.0.0");
    EXPECT_EQ(FormatIPv4(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(FormatIPv4(MakeIPv4(10, 0, 200, 3)), "10.0.200.3");

    QVSockAddr record;
    memset(&record, 0xAB, sizeof(record));
    SetBroadcastAddress(record);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&record);
    const uint8_t expected[16] = {2, 0, 0x01, 0xBC, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(raw, expected, 16), 0);
    EXPECT_EQ(FormatAddressRecord(record), "255.255.255.255:444");

    SetLoopbackAddress(record);
    EXPECT_EQ(FormatIPv4(record), "127.0.0.1");
    EXPECT_EQ(SockAddrPort(record), 444);

    SetAddress(record, MakeIPv4(192, 168, 1, 20));
    EXPECT_EQ(GetAddress(record), MakeIPv4(192, 168, 1, 20));
    record.port = HostToNet16(22051);
    EXPECT_EQ(FormatAddressRecord(record), "192.168.1.20:22051");
}

TEST(NetAddr, AdapterSearchNeverOffersEmptyOrUnknownKinds)
{
    uint32_t mask = 0x12345678, address = 0x12345678;
    EXPECT_FALSE(FindAdapterAddress(2, &mask, &address));
    EXPECT_FALSE(FindAdapterAddress(-1, &mask, &address));
    EXPECT_EQ(address, 0x12345678u);
    for (int kind = 0; kind < 2; kind++) {
        if (FindAdapterAddress(kind, &mask, &address)) {
            EXPECT_NE(address, 0u);
            EXPECT_NE(address, LoopbackAddress());
        }
    }
    EXPECT_GE(CountIpAddresses(), 0);
    std::string mac = FirstAdapterMacText();
    if (!mac.empty()) {
        ASSERT_EQ(mac.size(), 17u);
        for (size_t i = 2; i < 17; i += 3)
            EXPECT_EQ(mac[i], '-');
        for (char c : mac)
            EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << mac;
    }
}

} // namespace
