// Command-line helpers shared by the network simulators (relay, discovery server).
// A typo must stop the program, never be read as 0 or as an empty address.
#pragma once
#include <cstdint>
#include <string>

#include "../../util/qvsocket.h"

namespace simopts
{

// Whole decimal number up to 2^32 - 1.
inline bool ParseNumber(const std::string& text, uint32_t* value)
{
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = (uint32_t)v;
    return true;
}

// Dotted IPv4 text to an address value (network order).
inline bool ParseDotted(const std::string& text, uint32_t* address)
{
    uint32_t parts[4];
    size_t pos = 0;
    for (int n = 0; n < 4; ++n) {
        size_t dot = n < 3 ? text.find('.', pos) : text.size();
        if (dot == std::string::npos || dot == pos || dot - pos > 3) return false;
        if (!ParseNumber(text.substr(pos, dot - pos), &parts[n]) || parts[n] > 255) return false;
        pos = dot + 1;
    }
    *address = MakeIPv4((uint8_t)parts[0], (uint8_t)parts[1], (uint8_t)parts[2], (uint8_t)parts[3]);
    return true;
}

// "a.b.c.d:port" to an address record.
inline bool ParseEndpoint(const std::string& text, QVSockAddr* out)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    uint32_t addr = 0, port = 0;
    if (!ParseDotted(text.substr(0, colon), &addr)) return false;
    if (!ParseNumber(text.substr(colon + 1), &port) || port > 65535) return false;
    *out = MakeSockAddr(addr, (uint16_t)port);
    return true;
}

inline std::string EndpointText(const QVSockAddr& a)
{
    const uint8_t* b = (const uint8_t*)&a.addr;
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]) + ":" + std::to_string(SockAddrPort(a));
}

inline bool SameEndpoint(const QVSockAddr& a, const QVSockAddr& b)
{
    return a.addr == b.addr && a.port == b.port;
}

} // namespace simopts
