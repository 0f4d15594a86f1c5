#pragma once
#include <cstdint>

// The proxy's two clocks: wall seconds (cache ages, idle sweeps, activation)
// and a wrapping 32-bit millisecond tick (KCP timers). Tests shift both with
// an offset so that time-dependent behaviour runs without sleeping.
namespace Clock {

// Seconds since the epoch, plus the test offset.
int64_t nowSeconds();

// Milliseconds of a steady clock, wrapped to 32 bits, plus the test offset.
uint32_t tickCount();

// Test-only hooks: move the clocks forward (or back) by the given amounts.
void advanceSecondsForTest(int64_t seconds);
void advanceTicksForTest(int64_t milliseconds);
void resetForTest();

} // namespace Clock

// Distance between two clock readings, whichever is later (the wall clock
// may step back).
inline int64_t absDiff(int64_t a, int64_t b)
{
    return a > b ? a - b : b - a;
}
