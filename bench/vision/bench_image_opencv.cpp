// OpenCV's timings for the same frames and operations as ours.
#include "bench/vision/bench_image_peer.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace {

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

struct OpenCvPeer::Frames
{
    cv::Mat source;
    cv::Mat output;
    cv::Mat canvas;
};

OpenCvPeer::OpenCvPeer(const PeerFrame& frame) : m_frames(new Frames)
{
    cv::setNumThreads(1);  // ours is single-threaded; compare like with like
    m_frames->source.create(frame.rows, frame.cols, CV_8UC3);
    std::memcpy(m_frames->source.data, frame.bgr, static_cast<std::size_t>(frame.rows) * frame.cols * 3);
    m_frames->canvas = m_frames->source.clone();
}

OpenCvPeer::~OpenCvPeer()
{
    delete m_frames;
}

const char* OpenCvPeer::version()
{
    return CV_VERSION;
}

double OpenCvPeer::resizeMs(int width, int height, int repeat)
{
    return medianMs(repeat, [&] {
        cv::resize(m_frames->source, m_frames->output, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    });
}

double OpenCvPeer::flipMs(int repeat)
{
    return medianMs(repeat, [&] { cv::flip(m_frames->source, m_frames->output, 1); });
}

double OpenCvPeer::cvtColorMs(int repeat)
{
    return medianMs(repeat, [&] { cv::cvtColor(m_frames->source, m_frames->output, cv::COLOR_BGR2RGB); });
}

double OpenCvPeer::overlayMs(const std::vector<OverlayPrimitive>& overlay, int repeat)
{
    return medianMs(repeat, [&] { drawOverlay(m_frames->canvas, overlay); });
}
