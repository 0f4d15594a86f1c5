#pragma once
// A failed property ends the run with a crash, which libFuzzer reports with its input.
inline void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}
