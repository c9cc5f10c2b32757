#include "options.h"

#include <cstring>

int g_bDemoMode = 0;

bool FindOption(const std::string& commandLine, const char* optionName, std::string* value)
{
    if (value) value->clear();
    if (!optionName || !*optionName) return false;
    // The system hands the program a C string: nothing after a NUL is part of it.
    const char* text = commandLine.c_str();
    const char* hit = strstr(text, optionName);
    if (!hit) return false;
    if (value) {
        const char* p = hit + strlen(optionName);
        size_t n = 0;
        while (p[n] && p[n] != '/' && n < QV_OPTION_VALUE_MAX)
            ++n;
        value->assign(p, n);
        size_t end = value->find_last_not_of(' ');
        value->resize(end == std::string::npos ? 0 : end + 1);
    }
    return true;
}

int32_t ParseOptionInt(const std::string& text)
{
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    // Accumulate in 64 bits and clamp, so that a long run of digits cannot overflow.
    int64_t v = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > limit) v = limit;
        ++p;
    }
    return (int32_t)(negative ? -v : v);
}

uint32_t ParseOptionHex(const std::string& text)
{
    const char* p = text.c_str();
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    uint64_t v = 0;
    for (;; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            d = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            d = *p - 'A' + 10;
        else
            break;
        v = (v << 4) | (uint64_t)d;
        // Too many digits for an address: treat it as no address at all instead of
        // connecting silently to whatever the low or saturated bits would name.
        if (v > 0xFFFFFFFFull) return 0;
    }
    return (uint32_t)v;
}

bool SilentStartMode(int32_t startType, StartMode* mode)
{
    switch (startType) {
    case static_cast<int32_t>(StartMode::Viewer):
        *mode = StartMode::Viewer;
        return true;
    case static_cast<int32_t>(StartMode::Configurator):
        *mode = StartMode::Configurator;
        return true;
    default:
        return false;
    }
}

void ParseStartOptions(const std::string& commandLineAfterPath, StartOptions* out)
{
    StartOptions o;
    std::string value;
    if (FindOption(commandLineAfterPath, "/TYPE:", &value)) o.startType = ParseOptionInt(value);
    if (FindOption(commandLineAfterPath, "/IPADDR:", &value)) o.targetAddress = ParseOptionHex(value);
    o.silent = FindOption(commandLineAfterPath, "/SILENT", nullptr);
    o.demo = FindOption(commandLineAfterPath, "/DEMO", nullptr);
    if (o.demo) g_bDemoMode = 1;
    FindOption(commandLineAfterPath, "/USER:", &o.systemName);
    FindOption(commandLineAfterPath, "/PASS:", &o.password);
    FindOption(commandLineAfterPath, "/SIZE:", &o.sizeOption);
    *out = o;
}

std::string StripProgramPath(const std::string& fullCommandLine)
{
    const char* p = fullCommandLine.c_str();
    if (*p == '"') {
        ++p;
        while (*p && *p != '"')
            ++p;
        if (*p == '"') ++p;
    }
    // An unquoted path ends at the first blank; a quoted one may run straight into
    // more path text ("C:\a b"\x.exe), which still belongs to it.
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    while (*p == ' ' || *p == '\t')
        ++p;
    return std::string(p);
}
