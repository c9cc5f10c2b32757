// Local adapters from the interface list. There are no adapter descriptions
// here, so kind 0 is every non-loopback IPv4 interface and every other kind finds none.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#if defined(__linux__)
#include <netpacket/packet.h>
#endif

#include "netaddr.h"
#include "../util/qvtypes.h"

int CountIpAddresses()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int n = 0;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET) n++;
    }
    freeifaddrs(list);
    return n;
}

bool FindAdapterAddress(int kind, uint32_t* mask, uint32_t* address)
{
    if (kind != 0) return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (i->ifa_flags & IFF_LOOPBACK) continue;
        uint32_t a = ((const sockaddr_in*)i->ifa_addr)->sin_addr.s_addr;
        if (a == 0) continue;
        uint32_t m = i->ifa_netmask ? ((const sockaddr_in*)i->ifa_netmask)->sin_addr.s_addr : 0xFFFFFFFFu;
        if (mask) *mask = m;
        if (address) *address = a;
        found = true;
    }
    freeifaddrs(list);
    return found;
}

std::string FirstAdapterMacText()
{
    std::string text;
#if defined(__linux__)
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return text;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET) continue;
        if (i->ifa_flags & IFF_LOOPBACK) continue;
        const sockaddr_ll* ll = (const sockaddr_ll*)i->ifa_addr;
        if (ll->sll_halen < 6) continue;
        const unsigned char* m = ll->sll_addr;
        text = StrPrintf("%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
        break;
    }
    freeifaddrs(list);
#endif
    return text;
}
