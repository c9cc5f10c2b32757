#include <ctime>
#include <unistd.h>

#include "qvtick.h"

static volatile uint32_t g_dwTickOffset;

uint32_t GetTick()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
    return (uint32_t)ms + g_dwTickOffset;
}

void SleepMs(uint32_t ms)
{
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void SetTickOffsetForTest(uint32_t offset)
{
    g_dwTickOffset = offset;
}
