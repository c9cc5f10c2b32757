// Address records and dotted IPv4 text.
#include "netaddr.h"

#include <climits>

#include "../util/qvtypes.h"

void SetBroadcastAddress(QVSockAddr& record)
{
    record = MakeSockAddr(0xFFFFFFFFu, 444);
}

void SetLoopbackAddress(QVSockAddr& record)
{
    record.addr = LoopbackAddress();
}

void SetAddress(QVSockAddr& record, uint32_t value)
{
    record.addr = value;
}

uint32_t GetAddress(const QVSockAddr& record)
{
    return record.addr;
}

std::string FormatIPv4(uint32_t value)
{
    return StrPrintf("%d.%d.%d.%d", (int)(value & 0xFF), (int)((value >> 8) & 0xFF),
                     (int)((value >> 16) & 0xFF), (int)((value >> 24) & 0xFF));
}

std::string FormatIPv4(const QVSockAddr& record)
{
    return FormatIPv4(record.addr);
}

// One field read the way a C decimal conversion reads it (leading blanks, a sign,
// then digits up to the first other character), but saturating instead of
// overflowing, so no text can lead to undefined behaviour.
static int FieldValue(const std::string& text, size_t begin, size_t end)
{
    size_t i = begin;
    while (i < end && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                       text[i] == '\v' || text[i] == '\f'))
        i++;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        i++;
    }
    long long v = 0;
    for (; i < end && text[i] >= '0' && text[i] <= '9'; i++) {
        v = v * 10 + (text[i] - '0');
        if (v > INT_MAX) v = INT_MAX;
    }
    return negative ? -(int)v : (int)v;
}

uint32_t ParseIPv4(const std::string& text)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    int found = 0;
    size_t pos = 0;
    while (found < 4) {
        size_t dot = text.find('.', pos);
        size_t end = dot == std::string::npos ? text.size() : dot;
        // Each field lands in one byte: only its low eight bits count.
        bytes[found++] = (uint8_t)((unsigned)FieldValue(text, pos, end) & 0xFFu);
        if (dot == std::string::npos) break;
        pos = dot + 1;
    }
    for (int i = found; i < 4; i++)
        bytes[i] = bytes[found - 1];
    return MakeIPv4(bytes[0], bytes[1], bytes[2], bytes[3]);
}

uint32_t MacToAddress(const uint8_t mac[6])
{
    uint8_t out[4];
    for (int i = 0; i < 4; i++) {
        uint8_t b = mac[5 - i];
        out[i] = (b == 0 || b == 255) ? (uint8_t)(i + 1) : b;
    }
    return MakeIPv4(out[0], out[1], out[2], out[3]);
}
