// Fixed-width types and small helpers shared by the portable core.
// The core never includes a platform header; the seams below do.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Little-endian reads and writes for everything that crosses the wire or a file.
inline uint16_t GetLE16(const uint8_t* p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t GetLE32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void PutLE16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// printf into a std::string; never truncates.
std::string StrPrintf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A text into a fixed-size field: at most size - 1 bytes of it, cut at its first
// NUL, and the rest of the field zero, so the field is always terminated and
// carries nothing left over from before.
void TakeTextField(char* field, size_t size, const void* text, size_t length);

// A whole command line without the program's own (possibly quoted) path and the
// blanks after it, as WinMain receives it. Empty for a null line.
const char* ArgumentsOf(const char* commandLine);
