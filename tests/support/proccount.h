// What this process holds, as Linux shows it under /proc: the tests that check an
// attempt leaves no thread or socket behind count before and after.
#pragma once
#include <filesystem>
#include <system_error>

// Entries of a /proc folder of this process, or -1 where they cannot be counted
// (another system, or no /proc).
inline int CountProcEntries(const char* folder)
{
#ifdef __linux__
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec ? -1 : n;
#else
    (void)folder;
    return -1;
#endif
}

inline int OpenDescriptors()
{
    return CountProcEntries("/proc/self/fd");
}

inline int ThreadCount()
{
    return CountProcEntries("/proc/self/task");
}
