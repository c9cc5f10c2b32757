#include <windows.h>

#include "qvtick.h"

static volatile uint32_t g_dwTickOffset;

uint32_t GetTick()
{
    return (uint32_t)GetTickCount() + g_dwTickOffset;
}
void SleepMs(uint32_t ms)
{
    Sleep(ms);
}
void SetTickOffsetForTest(uint32_t offset)
{
    g_dwTickOffset = offset;
}
