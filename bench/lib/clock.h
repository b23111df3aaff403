// The clock every benchmark driver times with.
#pragma once

#include <windows.h>

// Seconds from an arbitrary start, by the performance counter.
inline double Now() {
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER counter = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}
