// OpenCV's timings for the same frames and operations as ours.
#include "bench/vision/bench_image_peer.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace {

constexpr int kRepeat = 60;

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

} // namespace

const char* openCvVersion()
{
    return CV_VERSION;
}

PeerTimes measureOpenCv(const PeerFrame& frame, int letterboxWidth, int letterboxHeight, int generalWidth,
                        int generalHeight, const std::vector<OverlayPrimitive>& overlay)
{
    cv::setNumThreads(1);  // ours is single-threaded; compare like with like
    cv::Mat src(frame.rows, frame.cols, CV_8UC3);
    std::memcpy(src.data, frame.bgr, static_cast<std::size_t>(frame.rows) * frame.cols * 3);
    PeerTimes t;
    cv::Mat dst;
    t.resizeMs = medianMs(kRepeat, [&] {
        cv::resize(src, dst, cv::Size(letterboxWidth, letterboxHeight), 0, 0, cv::INTER_LINEAR);
    });
    t.resizeGeneralMs = medianMs(kRepeat, [&] {
        cv::resize(src, dst, cv::Size(generalWidth, generalHeight), 0, 0, cv::INTER_LINEAR);
    });
    cv::Mat flipped = src.clone();
    t.flipMs = medianMs(kRepeat, [&] { cv::flip(src, flipped, 1); });
    cv::Mat rgb;
    t.cvtColorMs = medianMs(kRepeat, [&] { cv::cvtColor(src, rgb, cv::COLOR_BGR2RGB); });
    cv::Mat canvas = src.clone();
    t.overlayMs = medianMs(kRepeat, [&] { drawOverlay(canvas, overlay); });
    return t;
}
