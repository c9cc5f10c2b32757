// Address record helpers shared by both socket seams.
#include "qvsocket.h"

#include "qvtypes.h"

uint16_t HostToNet16(uint16_t v)
{
    return (uint16_t)((v >> 8) | (v << 8));
}

QVSockAddr MakeSockAddr(uint32_t addr, uint16_t hostPort)
{
    QVSockAddr a;
    memset(&a, 0, sizeof(a));
    a.family = 2;
    a.port = HostToNet16(hostPort);
    a.addr = addr;
    return a;
}

uint16_t SockAddrPort(const QVSockAddr& a)
{
    return NetToHost16(a.port);
}

uint32_t LoopbackAddress()
{
    return MakeIPv4(127, 0, 0, 1);
}

std::string FormatAddressRecord(const QVSockAddr& record)
{
    const uint8_t* b = (const uint8_t*)&record.addr;
    return StrPrintf("%d.%d.%d.%d:%d", b[0], b[1], b[2], b[3], (int)SockAddrPort(record));
}

bool SameEndpoint(const QVSockAddr& a, const QVSockAddr& b)
{
    return a.addr == b.addr && a.port == b.port;
}

bool ParseDottedIPv4(const char* text, uint32_t* address)
{
    uint8_t parts[4];
    const char* p = text;
    for (int i = 0; i < 4; i++) {
        int value = 0, digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + (*p - '0');
            p++;
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        parts[i] = (uint8_t)value;
        if (i < 3 && *p++ != '.') return false;
    }
    if (*p != 0) return false;
    *address = MakeIPv4(parts[0], parts[1], parts[2], parts[3]);
    return true;
}
