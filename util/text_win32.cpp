#include <windows.h>

#include "qvtext.h"

std::string Utf16ToNarrow(const uint8_t* bytes, size_t nchars)
{
    std::wstring wide(nchars, L'\0');
    for (size_t i = 0; i < nchars; i++)
        wide[i] = (wchar_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    std::string out;
    for (size_t i = 0; i < nchars; i++) {
        // One character at a time keeps the character count of the wide text.
        char mb[8];
        BOOL usedDefault = FALSE;
        int n = WideCharToMultiByte(CP_ACP, 0, &wide[i], 1, mb, sizeof(mb), "?", &usedDefault);
        out += n == 1 ? mb[0] : '?';
    }
    return out;
}

std::wstring NarrowToWide(const std::string& text)
{
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out((size_t)(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}
