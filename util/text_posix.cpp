#include "qvtext.h"

// Latin-1 stands in for the code page: it keeps the character count, as the
// Windows conversion does.
std::string Utf16ToNarrow(const uint8_t* bytes, size_t nchars)
{
    std::string out;
    out.reserve(nchars);
    for (size_t i = 0; i < nchars; i++) {
        unsigned c = bytes[2 * i] | (bytes[2 * i + 1] << 8);
        out += c < 256 ? (char)c : '?';
    }
    return out;
}

std::wstring NarrowToWide(const std::string& text)
{
    std::wstring out;
    for (unsigned char c : text)
        out += (wchar_t)c;
    return out;
}
