#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

// Median milliseconds of `repeat` runs of `work`, after one warm-up run.
template <typename Work>
double medianMs(int repeat, Work work)
{
    work();
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(repeat));
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
    return times[times.size() / 2];
}
