#include <cstdarg>
#include <cstdio>

#include "qvtypes.h"

std::string StrPrintf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize((size_t)n + 1);
        vsnprintf(&out[0], out.size(), fmt, ap2);
        out.resize((size_t)n);
    }
    va_end(ap2);
    return out;
}

void TakeTextField(char* field, size_t size, const void* text, size_t length)
{
    const char* from = (const char*)text;
    memset(field, 0, size);
    size_t n = 0;
    while (n < length && n < size - 1 && from[n])
        n++;
    memcpy(field, from, n);
}

const char* ArgumentsOf(const char* commandLine)
{
    if (!commandLine) return "";
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"')
            ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}
