// The simulator programs' command lines: numbers, percentages and addresses that
// refuse typos (a typo must stop the program, never be read as 0 or as an empty
// address), and the one option loop every program runs. The scenario scripts read
// the programs' usage and error lines, so each program keeps the wording it always
// had: the servers name the option and its bad value, the stream peer and the
// impairment proxy only the option.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../../util/qvsocket.h"

namespace simopts
{

// A whole decimal number up to max; false on anything else.
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

// A whole decimal number up to 2^32 - 1.
inline bool ParseNumber(const std::string& text, uint32_t* value)
{
    uint64_t v = 0;
    if (!Number(text.c_str(), 0xFFFFFFFFu, &v)) return false;
    *value = (uint32_t)v;
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

// Dotted IPv4 text to an address value (network order); each part at most three digits.
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

// "ADDR" or "ADDR:PORT", ADDR a name or dotted text; the port stays as given when the
// text has none.
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

// "a.b.c.d:port", as the launcher writes an address record.
inline std::string EndpointText(const QVSockAddr& a)
{
    return FormatAddressRecord(a);
}

// How a program words its refusals.
enum OptionStyle {
    // "--help" or "-h"; every option takes a value; "X needs a value", "unknown option X"
    // (both with the usage), "bad value for X: V".
    STYLE_NAMED,
    // "--help" only; flags and valued options; any refusal is "bad option X" and the usage.
    STYLE_TERSE,
};

class COptionParser
{
  public:
    typedef std::function<bool(const std::string& value)> TakeValue;

    COptionParser(const char* program, const char* usage, OptionStyle style)
        : m_pProgram(program), m_pUsage(usage), m_Style(style)
    {
    }

    // An option followed by a value; take says whether the value is good.
    void Value(const char* name, TakeValue take) { m_Options.push_back({name, true, take}); }
    // An option followed by a whole number up to max (above 0 when positive), handed to
    // put once it is good.
    void Number(const char* name, uint32_t max, bool positive, std::function<void(uint32_t)> put)
    {
        Value(name, [=](const std::string& v) {
            uint32_t n = 0;
            if (!ParseNumber(v, &n) || n > max || (positive && n == 0)) return false;
            put(n);
            return true;
        });
    }
    // An option on its own.
    void Flag(const char* name, std::function<void()> set)
    {
        m_Options.push_back({name, false, [set](const std::string&) { return set(), true; }});
    }

    // 0 to go on (also after printing the usage for help: *helpOnly tells), otherwise the
    // exit code after the refusal went to standard error.
    int Parse(int argc, char** argv, bool* helpOnly) const
    {
        *helpOnly = false;
        const bool named = m_Style == STYLE_NAMED;
        for (int i = 1; i < argc; ++i) {
            std::string name = argv[i];
            if (name == "--help" || (named && name == "-h")) {
                fputs(m_pUsage, stdout);
                *helpOnly = true;
                return 0;
            }
            const Option* option = Find(name);
            const bool wantsValue = option ? option->hasValue : named;
            if (wantsValue && i + 1 >= argc) {
                if (named) return Refuse("%s: %s needs a value\n%s", name.c_str(), m_pUsage);
                return Refuse("%s: bad option %s\n%s", name.c_str(), m_pUsage);
            }
            if (!option) {
                if (named) return Refuse("%s: unknown option %s\n%s", name.c_str(), m_pUsage);
                return Refuse("%s: bad option %s\n%s", name.c_str(), m_pUsage);
            }
            std::string value = wantsValue ? argv[++i] : "";
            if (!option->take(value)) {
                if (named) return Refuse("%s: bad value for %s: %s\n", name.c_str(), value.c_str());
                return Refuse("%s: bad option %s\n%s", name.c_str(), m_pUsage);
            }
        }
        return 0;
    }

    // A refusal found after the loop (options that do not go together).
    int Refuse(const char* format, const char* a = "", const char* b = "") const
    {
        fprintf(stderr, format, m_pProgram, a, b);
        return 2;
    }

  private:
    struct Option {
        std::string name;
        bool hasValue;
        TakeValue take;
    };

    const Option* Find(const std::string& name) const
    {
        for (const Option& o : m_Options)
            if (o.name == name) return &o;
        return nullptr;
    }

    const char* m_pProgram;
    const char* m_pUsage;
    OptionStyle m_Style;
    std::vector<Option> m_Options;
};

} // namespace simopts
