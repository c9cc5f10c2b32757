// Diagnostic trace lines. The product builds them and drops them; tests and the
// simulator may install a sink to see them.
#pragma once

void Trace(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

typedef void (*TraceSink)(const char* line);
void SetTraceSink(TraceSink sink);
