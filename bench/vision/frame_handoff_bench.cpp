// The camera thread's hand-off of each frame to the GUI: the BGR frame
// becomes an RGB QImage in a buffer of its own. Peer: the same result by a
// channel swap into a new frame and a deep copy of that into the QImage.
#include "bench/vision/bench_timing.h"
#include "vision/camera_thread.h"
#include "vision/cv_core.h"

#include <QImage>

#include <cstdio>
#include <random>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int kRepeat = 200;

cv::Mat noiseFrame(int rows, int cols)
{
    cv::Mat frame(rows, cols, cv::CV_8UC3);
    std::mt19937 random(1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols * 3; ++c)
            frame.ptr(r)[c] = static_cast<unsigned char>(random());
    return frame;
}

QImage swapThenCopy(const cv::Mat& frame)
{
    cv::Mat rgb;
    cv::cvtColor(frame, rgb, cv::COLOR_BGR2RGB);
    return QImage(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step), QImage::Format_RGB888).copy();
}

void measure(const char* allocation)
{
    std::printf("%s\n%-12s %14s %20s %7s\n", allocation, "frame", "rgbImage ms", "swap then copy ms", "ratio");
    for (const auto& [cols, rows] : {std::pair{640, 480}, std::pair{1280, 720}, std::pair{1920, 1080}}) {
        const cv::Mat frame = noiseFrame(rows, cols);
        const double ours = medianMs(kRepeat, [&] { (void)CameraThread::rgbImage(frame); });
        const double peer = medianMs(kRepeat, [&] { (void)swapThenCopy(frame); });
        std::printf("%5dx%-6d %14.3f %20.3f %7.2f\n", cols, rows, ours, peer, ours / peer);
    }
}

} // namespace

int main()
{
    for (const auto& [cols, rows] : {std::pair{640, 480}, std::pair{1920, 1080}}) {
        const cv::Mat frame = noiseFrame(rows, cols);
        const QImage handedOff = CameraThread::rgbImage(frame);
        if (handedOff != swapThenCopy(frame) || handedOff.constBits() == frame.data) {
            std::fprintf(stderr, "the hand-off at %dx%d is not a swapped copy of its own\n", cols, rows);
            return 1;
        }
    }
    // Two frame-sized buffers alive at once make the C library hand memory
    // back to the system and fault it in again on every pass; the second run
    // keeps freed memory, to show the work of the passes alone.
    measure("as the C library allocates by default:");
#ifdef __GLIBC__
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    measure("with freed memory kept by the process:");
#endif
    return 0;
}
