// What every simulator program does the same way: it stops on SIGINT or SIGTERM,
// prints one event per line from any thread (the scenario scripts read the lines
// as they come), and publishes where it listens in a ready file that appears whole.
#pragma once
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "../../util/qvtick.h"

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

// Waits in rounds of pollMs until a stop signal, until maxRunMs have passed (0: no
// limit; exit code 3, "time limit reached"), or until check, asked after each round
// before the time limit, names a reason to end (exit code 0). Returns the exit code
// and leaves the reason in *why ("stopped" on a signal).
inline int RunUntilDone(uint32_t maxRunMs, uint32_t pollMs, const std::function<const char*()>& check,
                        const char** why)
{
    const uint32_t started = GetTick();
    *why = "stopped";
    while (!g_bStop.load()) {
        SleepMs(pollMs);
        if (check) {
            const char* reason = check();
            if (reason) {
                *why = reason;
                return 0;
            }
        }
        if (maxRunMs && TickSince(started) >= maxRunMs) {
            *why = "time limit reached";
            return 3;
        }
    }
    return 0;
}

} // namespace simprog
