// Timing for the benchmarks: a microsecond clock and the median of samples.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

inline double now_us() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart * 1e6 / frequency.QuadPart;
}

inline double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}
