// Local adapters through the IP helper interface.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "netaddr.h"
#include "../util/qvtypes.h"

int CountIpAddresses()
{
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size < sizeof(MIB_IPADDRTABLE))
        return 0;
    // The table can grow between the two calls; a few retries cover that.
    for (int attempt = 0; attempt < 3; attempt++) {
        std::vector<uint64_t> area((size + 7) / 8);
        MIB_IPADDRTABLE* table = (MIB_IPADDRTABLE*)area.data();
        DWORD r = GetIpAddrTable(table, &size, FALSE);
        if (r == NO_ERROR) return (int)table->dwNumEntries;
        if (r != ERROR_INSUFFICIENT_BUFFER) return 0;
    }
    return 0;
}

// The adapter list in a suitably aligned area; false when it cannot be read.
static bool ReadAdapters(std::vector<uint64_t>& area)
{
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return false;
    for (int attempt = 0; attempt < 3; attempt++) {
        area.assign((size + 7) / 8, 0);
        DWORD r = GetAdaptersInfo((IP_ADAPTER_INFO*)area.data(), &size);
        if (r == NO_ERROR) return true;
        if (r != ERROR_BUFFER_OVERFLOW) return false;
    }
    return false;
}

static bool KindConsiders(int kind, const char* description)
{
    bool asix = strncmp(description, "ASIX", 4) == 0;
    if (kind == 0) return !asix;
    if (kind == 1) return asix;
    return false;
}

// A bounded copy of a fixed text field that may lack its terminator.
static std::string FieldText(const char* field, size_t size)
{
    size_t n = 0;
    while (n < size && field[n])
        n++;
    return std::string(field, n);
}

bool FindAdapterAddress(int kind, uint32_t* mask, uint32_t* address)
{
    if (kind != 0 && kind != 1) return false;
    std::vector<uint64_t> area;
    if (!ReadAdapters(area)) return false;
    for (IP_ADAPTER_INFO* a = (IP_ADAPTER_INFO*)area.data(); a; a = a->Next) {
        char description[sizeof(a->Description) + 1];
        memcpy(description, a->Description, sizeof(a->Description));
        description[sizeof(a->Description)] = 0;
        if (!KindConsiders(kind, description)) continue;
        uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
        memcpy(mac, a->Address, a->AddressLength < 6 ? a->AddressLength : 6);
        uint32_t hardware = MacToAddress(mac);
        for (IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next) {
            uint32_t addr = ParseIPv4(FieldText(ip->IpAddress.String, sizeof(ip->IpAddress.String)));
            uint32_t m = ParseIPv4(FieldText(ip->IpMask.String, sizeof(ip->IpMask.String)));
            if (addr == 0) continue;
            // The subnet that the hardware address maps to is never searched.
            if ((addr & m) == (hardware & m)) continue;
            if (mask) *mask = m;
            if (address) *address = addr;
            return true;
        }
    }
    return false;
}

std::string FirstAdapterMacText()
{
    // One fixed area, as start-up has always used: a list that does not fit
    // leaves the text empty rather than growing the area.
    const ULONG kArea = 6480;
    std::vector<uint64_t> area((kArea + 7) / 8);
    ULONG size = kArea;
    if (GetAdaptersInfo((IP_ADAPTER_INFO*)area.data(), &size) != NO_ERROR) return std::string();
    const IP_ADAPTER_INFO* first = (const IP_ADAPTER_INFO*)area.data();
    const BYTE* m = first->Address;
    return StrPrintf("%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
}
