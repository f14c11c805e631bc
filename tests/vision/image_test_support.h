#pragma once

#include "vision/cv_core.h"

#include <random>
#include <vector>

namespace vision_test {

// Deterministic noise so that every pixel and channel differs.
inline cv::Mat noiseImage(int rows, int cols, unsigned seed)
{
    cv::Mat m(rows, cols, cv::CV_8UC3);
    std::mt19937 rng(seed);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols * 3; ++c)
            m.ptr(r)[c] = static_cast<unsigned char>(rng() & 0xff);
    return m;
}

// The three bytes of pixel (x, y) of a BGR image.
inline std::vector<unsigned char> pixel(const cv::Mat& m, int x, int y)
{
    const unsigned char* p = m.ptr(y) + x * 3;
    return {p[0], p[1], p[2]};
}

} // namespace vision_test
