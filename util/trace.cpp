#include <cstdarg>
#include <cstdio>

#include "trace.h"

static TraceSink g_pfnTraceSink;

void SetTraceSink(TraceSink sink)
{
    g_pfnTraceSink = sink;
}

void Trace(const char* fmt, ...)
{
    TraceSink sink = g_pfnTraceSink;
    if (!sink) return; // the product has no trace output
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    sink(line);
}
