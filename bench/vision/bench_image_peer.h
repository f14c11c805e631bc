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

// OpenCV's side, measured operation by operation right after ours so that
// both see the same load on a shared machine. Each returns the median
// milliseconds of `repeat` runs.
class OpenCvPeer
{
public:
    explicit OpenCvPeer(const PeerFrame& frame);
    ~OpenCvPeer();
    OpenCvPeer(const OpenCvPeer&) = delete;
    OpenCvPeer& operator=(const OpenCvPeer&) = delete;

    double resizeMs(int width, int height, int repeat);
    double flipMs(int repeat);
    double cvtColorMs(int repeat);
    double overlayMs(const std::vector<OverlayPrimitive>& overlay, int repeat);

    static const char* version();

private:
    struct Frames;
    Frames* m_frames;
};
