// Scratch folders under the system temp dir for tests that touch the disk, and
// independent ways to look at files (std::filesystem, not our own file layer).
#pragma once
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

// A new empty folder under the system temp dir, named after the tag and unique
// to this call; the caller removes it.
inline std::string MakeTempDir(const char* tag)
{
    std::random_device rd;
    unsigned long long stamp =
        ((unsigned long long)rd() << 20) ^
        (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count();
    for (unsigned serial = 0;; serial++) {
        std::ostringstream name;
        name << "rerudi-" << tag << "-" << std::hex << stamp << "-" << serial;
        const fs::path path = fs::temp_directory_path() / name.str();
        if (fs::create_directories(path)) return path.string();
    }
}

// A MakeTempDir folder that lives as long as the object.
class TempDir
{
  public:
    explicit TempDir(const char* tag = "util") : m_path(MakeTempDir(tag)) {}
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    // The folder as the program spells it: no trailing separator.
    std::string Dir() const { return m_path.string(); }
    // A path inside it as the program builds paths, with '\' separators.
    std::string Q(const std::string& rel) const
    {
        std::string r = rel;
        for (char& c : r)
            if (c == '/') c = '\\';
        return Dir() + "\\" + r;
    }
    // The same path for std::filesystem ('/' inside rel).
    fs::path N(const std::string& rel) const { return m_path / fs::path(rel); }

  private:
    fs::path m_path;
};

inline std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteAll(const fs::path& p, const std::string& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

inline std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int v : b)
        s += (char)(unsigned char)v;
    return s;
}

// 0, 1, 2, ... 250, 0, 1, ...: every offset tells where it came from.
inline std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i % 251);
    return s;
}

// Compares file contents without flooding the log with megabytes of bytes.
inline bool SameBytes(const std::string& got, const std::string& want, std::string* why)
{
    if (got == want) return true;
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    std::ostringstream s;
    s << "sizes " << got.size() << " and " << want.size() << ", first difference at offset " << i;
    *why = s.str();
    return false;
}
#define EXPECT_SAME_BYTES(got, want)                                                                         \
    do {                                                                                                     \
        std::string why_;                                                                                    \
        EXPECT_TRUE(SameBytes((got), (want), &why_)) << why_;                                                \
    } while (0)
