// What every simulator program does the same way: it stops on SIGINT or SIGTERM,
// prints one event per line from any thread (the scenario scripts read the lines
// as they come), and publishes where it listens in a ready file that appears whole.
#pragma once
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

namespace simprog
{

inline std::atomic<bool> g_bStop(false);

inline void OnStopSignal(int)
{
    g_bStop = true;
}

inline void StopOnSignals()
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

inline void PrintLine(const std::string& line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> g(lock);
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// Written beside and renamed, so that a script polling for the file never reads
// half of it.
inline bool WriteReadyFile(const std::string& path, const std::string& text)
{
    std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace simprog
