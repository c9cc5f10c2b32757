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
