// Text conversion seam: UTF-16LE received in messages or files becomes narrow text
// of the local code page (the system code page on Windows, Latin-1 elsewhere).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// bytes: nchars UTF-16LE code units. The result has nchars characters; a character
// the code page cannot show becomes '?'.
std::string Utf16ToNarrow(const uint8_t* bytes, size_t nchars);

// The narrow text as UTF-16 (for shell calls that want wide text).
std::wstring NarrowToWide(const std::string& text);
