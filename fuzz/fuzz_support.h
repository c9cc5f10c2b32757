// Shared pieces of the fuzz targets. Each target defines its entry through
// QV_FUZZ_ENTRY so that a unit test can compile the same target under another
// name and replay the committed seeds; QV_FUZZ_FAIL decides what a broken
// invariant does (a trap for the fuzzer, a test failure in the replay).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "../tests/util/tempdir.h"

#ifndef QV_FUZZ_ENTRY
#define QV_FUZZ_ENTRY LLVMFuzzerTestOneInput
#define QV_FUZZ_UNDER_LIBFUZZER 1
#endif

#ifndef QV_FUZZ_FAIL
#define QV_FUZZ_FAIL(text)                                                                                   \
    do {                                                                                                     \
        fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", __FILE__, __LINE__, text);                   \
        __builtin_trap();                                                                                    \
    } while (0)
#endif

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            QV_FUZZ_FAIL(#cond);                                                                             \
        }                                                                                                    \
    } while (0)

namespace qvfuzz
{

// Takes bytes from the front of the input; past the end every read gives 0.
class Reader
{
  public:
    Reader(const uint8_t* data, size_t size) : m_pData(data), m_nSize(size), m_nPos(0) {}
    uint8_t Byte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
    uint32_t Word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v |= (uint32_t)Byte() << (8 * i);
        return v;
    }
    // Up to max bytes, fewer when the input ends first.
    std::vector<uint8_t> Bytes(size_t max)
    {
        size_t n = Left() < max ? Left() : max;
        std::vector<uint8_t> v(m_pData + m_nPos, m_pData + m_nPos + n);
        m_nPos += n;
        return v;
    }
    // A text whose length is given by the next byte.
    std::string Text()
    {
        size_t n = Byte();
        std::vector<uint8_t> v = Bytes(n);
        return std::string(v.begin(), v.end());
    }
    const uint8_t* Here() const { return m_pData + m_nPos; }
    size_t Left() const { return m_nSize - m_nPos; }

  private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos;
};

// A private folder for the files a target writes; removed when the process ends.
class TempFolder
{
  public:
    explicit TempFolder(const char* tag) : m_Path(MakeTempDir((std::string("fuzz-") + tag).c_str())) {}
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    bool Ok() const { return !m_Path.empty(); }
    std::string File(const char* name) const { return (m_Path / name).string(); }
    std::string Path() const { return m_Path.string(); }

  private:
    std::filesystem::path m_Path;
};

inline bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

inline bool PathExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

inline uintmax_t FileSize(const std::string& path)
{
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

inline void RemovePath(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

} // namespace qvfuzz

#ifdef QV_FUZZ_UNDER_LIBFUZZER
// Every input finishes in milliseconds; one that runs for seconds is a loop that
// makes no progress. Without this the fuzzer's own limit (twenty minutes) would
// let a short smoke run sit on such an input instead of reporting it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    for (int i = 1; i < *argc; i++) {
        if (strncmp((*argv)[i], "-timeout=", 9) == 0) return 0;
    }
    static std::vector<char*> args;
    static char timeoutFlag[] = "-timeout=10";
    args.assign(*argv, *argv + *argc);
    args.push_back(timeoutFlag);
    args.push_back(nullptr);
    *argc = (int)args.size() - 1;
    *argv = args.data();
    return 0;
}
#endif
