// Millisecond tick counter that wraps at 2^32, like the system tick on Windows.
// Every time-out and age in the program is a difference of two ticks, taken modulo 2^32.
#pragma once
#include <cstdint>

uint32_t GetTick();
void SleepMs(uint32_t ms);

// Elapsed milliseconds from start to now, wrap-safe (plain unsigned subtraction).
inline uint32_t TickSince(uint32_t start)
{
    return (uint32_t)(GetTick() - start);
}

// Tests shift the counter to exercise the wrap; the product never calls this.
void SetTickOffsetForTest(uint32_t offset);
