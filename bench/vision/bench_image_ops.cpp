// Image core against OpenCV on camera-sized frames: the bilinear resize to
// the pose network's letterbox size, the mirror flip, the channel swap, and
// a 52-primitive skeleton overlay. Prints both figures and our/OpenCV ratio.
//
// This file and our image core are compiled here with cv renamed, so that
// OpenCV's cv can live in the same program (see CMakeLists.txt).
#include "bench/vision/bench_image_peer.h"
#include "vision/cv_core.h"
#include "vision/cv_drawing.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr int kRepeat = 60;
constexpr int kLetterboxSide = 640;  // the pose network's input

struct Geometry
{
    int cols, rows;
};

cv::Mat noiseFrame(int rows, int cols)
{
    cv::Mat m(rows, cols, cv::CV_8UC3);
    std::mt19937 rng(1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols * 3; ++c)
            m.ptr(r)[c] = static_cast<unsigned char>(rng());
    return m;
}

// What the camera thread draws for one person: 19 limbs, 17 keypoint dots
// with 14 rings, the person's box and its label: 52 primitives.
std::vector<OverlayPrimitive> skeletonOverlay(int cols, int rows)
{
    static const double kKeypoints[17][2] = {
        {0.50, 0.15}, {0.52, 0.13}, {0.48, 0.13}, {0.55, 0.14}, {0.45, 0.14}, {0.60, 0.28},
        {0.40, 0.28}, {0.66, 0.42}, {0.34, 0.42}, {0.70, 0.55}, {0.30, 0.55}, {0.57, 0.58},
        {0.43, 0.58}, {0.58, 0.75}, {0.42, 0.75}, {0.59, 0.92}, {0.41, 0.92}};
    static const int kLimbs[19][2] = {{15, 13}, {13, 11}, {16, 14}, {14, 12}, {11, 12}, {5, 11}, {6, 12},
                                      {5, 6},   {5, 7},   {6, 8},   {7, 9},   {8, 10},  {1, 2},  {0, 1},
                                      {0, 2},   {1, 3},   {2, 4},   {3, 5},   {4, 6}};
    auto x = [&](int k) { return static_cast<int>(kKeypoints[k][0] * cols); };
    auto y = [&](int k) { return static_cast<int>(kKeypoints[k][1] * rows); };
    std::vector<OverlayPrimitive> list;
    for (const auto& limb : kLimbs)
        list.push_back({OverlayPrimitive::Line, x(limb[0]), y(limb[0]), x(limb[1]), y(limb[1]), 0, 255, 0, 2, 16});
    for (int k = 0; k < 17; ++k)
        list.push_back({OverlayPrimitive::FilledCircle, x(k), y(k), 4, 0, 0, 0, 255, -1, 16});
    for (int k = 0; k < 14; ++k)
        list.push_back({OverlayPrimitive::Circle, x(k), y(k), 6, 0, 255, 255, 255, 1, 16});
    list.push_back({OverlayPrimitive::Rectangle, cols / 4, rows / 10, cols / 2, rows * 8 / 10, 255, 128, 0, 2, 8});
    list.push_back({OverlayPrimitive::Text, cols / 4, rows / 10 - 6, 0, 0, 255, 128, 0, 1, 16});
    return list;
}

void drawOverlay(cv::Mat& img, const std::vector<OverlayPrimitive>& overlay)
{
    for (const OverlayPrimitive& p : overlay) {
        const cv::Scalar color(p.b, p.g, p.r);
        switch (p.kind) {
        case OverlayPrimitive::Line:
            cv::line(img, cv::Point(p.x1, p.y1), cv::Point(p.x2, p.y2), color, p.thickness, p.lineType);
            break;
        case OverlayPrimitive::FilledCircle:
            cv::circle(img, cv::Point(p.x1, p.y1), p.x2, color, -1, p.lineType);
            break;
        case OverlayPrimitive::Circle:
            cv::circle(img, cv::Point(p.x1, p.y1), p.x2, color, p.thickness, p.lineType);
            break;
        case OverlayPrimitive::Rectangle:
            cv::rectangle(img, cv::Rect(p.x1, p.y1, p.x2, p.y2), color, p.thickness, p.lineType);
            break;
        case OverlayPrimitive::Text:
            cv::putText(img, "person 0.91", cv::Point(p.x1, p.y1), cv::FONT_HERSHEY_SIMPLEX, 0.6, color,
                        p.thickness, p.lineType);
            break;
        }
    }
}

void report(const char* what, double oursMs, double peerMs)
{
    std::printf("  %-34s %9.3f ms %9.3f ms %7.2fx\n", what, oursMs, peerMs, peerMs > 0 ? oursMs / peerMs : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);  // text needs Qt's font system

    std::printf("Image core vs OpenCV %s (single thread), median of %d runs\n", OpenCvPeer::version(), kRepeat);
    for (const Geometry g : {Geometry{640, 480}, Geometry{1280, 720}, Geometry{1920, 1080}}) {
        const cv::Mat frame = noiseFrame(g.rows, g.cols);
        const double scale = std::min(double(kLetterboxSide) / g.cols, double(kLetterboxSide) / g.rows);
        const int letterW = static_cast<int>(g.cols * scale + 0.5);
        const int letterH = static_cast<int>(g.rows * scale + 0.5);
        // A ratio with no short binary weights, the slow exact path.
        const int generalW = g.cols * 13 / 20;
        const int generalH = g.rows * 13 / 20;
        const auto overlay = skeletonOverlay(g.cols, g.rows);

        OpenCvPeer peer({frame.data, frame.rows, frame.cols});
        std::printf("\n%dx%d frame                           ours         OpenCV   ours/OpenCV\n", g.cols, g.rows);
        cv::Mat out;
        char label[64];
        std::snprintf(label, sizeof label, "resize to %dx%d (letterbox)", letterW, letterH);
        report(label, medianMs(kRepeat, [&] { cv::resize(frame, out, cv::Size(letterW, letterH)); }),
               peer.resizeMs(letterW, letterH, kRepeat));
        std::snprintf(label, sizeof label, "resize to %dx%d (general ratio)", generalW, generalH);
        report(label, medianMs(kRepeat, [&] { cv::resize(frame, out, cv::Size(generalW, generalH)); }),
               peer.resizeMs(generalW, generalH, kRepeat));
        cv::Mat mirrored = frame.clone();
        report("flip 1 in place", medianMs(kRepeat, [&] { cv::flip(mirrored, mirrored, 1); }), peer.flipMs(kRepeat));
        report("flip 1 into another image", medianMs(kRepeat, [&] { cv::flip(frame, out, 1); }),
               peer.flipMs(kRepeat));
        report("cvtColor BGR to RGB", medianMs(kRepeat, [&] { cv::cvtColor(frame, out, cv::COLOR_BGR2RGB); }),
               peer.cvtColorMs(kRepeat));
        cv::Mat canvas = frame.clone();
        report("52-primitive overlay, one painter", medianMs(kRepeat, [&] {
                   cv::DrawingSession session(canvas);
                   drawOverlay(canvas, overlay);
               }),
               peer.overlayMs(overlay, kRepeat));
        report("52-primitive overlay, call by call", medianMs(kRepeat / 6, [&] { drawOverlay(canvas, overlay); }),
               peer.overlayMs(overlay, kRepeat));
        std::printf("  %-34s %9.3f ms\n", "one antialiased line, call by call", medianMs(kRepeat, [&] {
                        cv::line(canvas, cv::Point(10, 10), cv::Point(200, 100), cv::Scalar(0, 255, 0), 2,
                                 cv::LINE_AA);
                    }));
    }
    return 0;
}
