#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace {
std::atomic<int64_t> g_secondsOffset { 0 };
std::atomic<int64_t> g_ticksOffset { 0 };
} // namespace

namespace Clock {

int64_t nowSeconds()
{
    return static_cast<int64_t>(std::time(nullptr)) + g_secondsOffset.load(std::memory_order_relaxed);
}

uint32_t tickCount()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms + g_ticksOffset.load(std::memory_order_relaxed)));
}

void advanceSecondsForTest(int64_t seconds)
{
    g_secondsOffset += seconds;
}
void advanceTicksForTest(int64_t milliseconds)
{
    g_ticksOffset += milliseconds;
}
void resetForTest()
{
    g_secondsOffset = 0;
    g_ticksOffset = 0;
}

} // namespace Clock
