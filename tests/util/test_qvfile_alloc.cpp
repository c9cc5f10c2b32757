// Damaged string lengths must be refused before any memory is asked for. The
// global allocator is replaced here so that the largest request can be seen.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tempdir.h"
#include "util/qvfile.h"

namespace
{
std::atomic<bool> g_bWatch{false};
std::atomic<size_t> g_nLargest{0};

void* Allocate(size_t n)
{
    if (g_bWatch.load(std::memory_order_relaxed) && n > g_nLargest.load(std::memory_order_relaxed))
        g_nLargest.store(n, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
} // namespace

void* operator new(size_t n)
{
    void* p = Allocate(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n)
{
    void* p = Allocate(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    return Allocate(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept
{
    return Allocate(n);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

TEST(FileStrings, AbsurdLengthsAreRefusedWithoutAllocating)
{
    TempDir tmp;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"narrow, 2 GiB", Bytes({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'})},
        {"UTF-16, 2 GiB", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 0})},
        {"narrow, above the limit", Bytes({0x01, 0x00, 0x10, 0x00, 'a'})},
        {"narrow, beyond the end", Bytes({0x00, 0x00, 0x01, 0x00, 'a', 'b', 'c'})},
        {"UTF-16, beyond the end", Bytes({0x00, 0x00, 0x01, 0x80, 'a', 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteAll(tmp.N("bad.dat"), c.bytes);
        CQVFile f(tmp.Q("bad.dat"));
        ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
        std::string s = "keep";
        g_nLargest = 0;
        g_bWatch = true;
        bool ok = f.ReadString(&s);
        g_bWatch = false;
        EXPECT_FALSE(ok);
        EXPECT_EQ(s, "keep");
        EXPECT_LT(g_nLargest.load(), (size_t)65536);
    }
}
