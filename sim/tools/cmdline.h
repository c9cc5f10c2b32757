// Small command-line helpers shared by the stream peer and the impairment proxy
// programs: numbers that refuse typos, addresses given as ADDR or ADDR:PORT.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../../util/qvsocket.h"

namespace simcmd
{

// A whole decimal number up to max; false on anything else, so a typo is not read as 0.
inline bool Number(const char* text, uint64_t max, uint64_t* value)
{
    if (!text || !*text) return false;
    uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (v > (max - (uint64_t)(*p - '0')) / 10) return false;
        v = v * 10 + (uint64_t)(*p - '0');
    }
    *value = v;
    return true;
}

// A probability given as a percentage, 0 to 100 (fractions allowed).
inline bool Percent(const char* text, double* value)
{
    if (!text || !*text) return false;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (!end || *end || v < 0 || v > 100) return false;
    *value = v / 100.0;
    return true;
}

// "ADDR" or "ADDR:PORT"; the port stays as given when the text has none.
inline bool Address(const char* text, QVSockAddr* out)
{
    if (!text) return false;
    std::string s(text);
    std::string host = s;
    uint64_t port = SockAddrPort(*out);
    size_t colon = s.rfind(':');
    if (colon != std::string::npos) {
        host = s.substr(0, colon);
        if (!Number(s.c_str() + colon + 1, 65535, &port)) return false;
    }
    uint32_t addr = 0;
    if (host.empty() || !ResolveHostIPv4(host, &addr)) return false;
    *out = MakeSockAddr(addr, (uint16_t)port);
    return true;
}

} // namespace simcmd
