#include "qvthread.h"
#include "qvtick.h"

// Polls rather than blocking on the thread so that both platforms share one
// notion of elapsed time, the wrapping millisecond tick.
bool CQVThread::WaitForExit(uint32_t timeoutMs)
{
    uint32_t start = GetTick();
    for (;;) {
        uint32_t now = GetTick();
        // Across a wrap this counts one millisecond short of the true difference;
        // it still ends, and never early.
        uint32_t elapsed = now >= start ? now - start : 0xFFFFFFFFu - start + now;
        if (elapsed >= timeoutMs) break;
        if (!IsRunning()) break;
        SleepMs(100);
    }
    return !IsRunning();
}
