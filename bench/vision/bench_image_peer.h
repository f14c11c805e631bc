#pragma once

// The OpenCV side of the image benchmark lives in its own translation unit:
// OpenCV's classes carry the same namespace and names as our image core.

#include "bench/vision/bench_timing.h"

#include <vector>

struct PeerFrame
{
    const unsigned char* bgr = nullptr;  // rows x cols x 3, tightly packed
    int rows = 0;
    int cols = 0;
};

// One primitive of the overlay, in plain numbers both libraries accept.
struct OverlayPrimitive
{
    enum Kind
    {
        Line,
        FilledCircle,
        Circle,
        Rectangle,
        Text,
    };
    Kind kind = Line;
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // Rectangle: x, y, width, height; Circle: centre and radius in x2
    double b = 0, g = 0, r = 0;
    int thickness = 1;
    int lineType = 16;
};

struct PeerTimes
{
    double resizeMs = 0;
    double resizeGeneralMs = 0;
    double flipMs = 0;
    double cvtColorMs = 0;
    double overlayMs = 0;
};

const char* openCvVersion();

PeerTimes measureOpenCv(const PeerFrame& frame, int letterboxWidth, int letterboxHeight, int generalWidth,
                        int generalHeight, const std::vector<OverlayPrimitive>& overlay);
