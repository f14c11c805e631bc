// The camera thread with the pose network running, fed by a 640x480 clip at
// 30 fps decoded by FFmpeg, against the same thread on its synthetic feed
// (the peer, measured in the same run): frames per second reached, and the
// decoder's time per frame on its own thread. The clip is encoded here from
// a test photograph.
//
// Usage: bench_video_source [seconds per run] [rounds]   (defaults: 8, 3)
#include "tests/vision/video_clip_writer.h"
#include "vision/camera_thread.h"
#include "vision/capture_ffmpeg.h"
#include "vision/pose_estimator.h"
#include "vision/video_capture.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFps = 30;
constexpr int kClipFrames = 90;

// The camera thread's file source, keeping the decoder's figures when it closes.
class MeasuredFileSource : public FrameSource
{
public:
    MeasuredFileSource(cv::FfmpegCapture::Statistics& out) : m_out(out) {}
    ~MeasuredFileSource() override
    {
        if (m_capture.mediaCapture())
            m_out = m_capture.mediaCapture()->statistics();
    }
    bool open(const std::string& path) { return m_capture.open(path); }
    bool read(cv::Mat& frame) override { return m_capture.read(frame); }

private:
    cv::FfmpegCapture::Statistics& m_out;
    cv::VideoCapture m_capture;
};

struct RunResult
{
    double fps = 0.0;
    double decodeMsPerFrame = 0.0;
    double personShare = 0.0;
};

RunResult runCameraThread(const std::shared_ptr<PoseEstimator>& estimator, const std::string& clip, int seconds)
{
    cv::FfmpegCapture::Statistics statistics;
    CameraThread thread(estimator);
    thread.setCameraConfig(0, kWidth, kHeight, kFps, true);
    // No clip: a source that does not open, which leaves the synthetic feed.
    thread.setFrameSourceFactory([&](const FrameSourceRequest&, std::string& error) {
        auto source = std::make_unique<MeasuredFileSource>(statistics);
        if (clip.empty() || !source->open(clip)) {
            error = "no clip";
            return std::unique_ptr<FrameSource>();
        }
        return std::unique_ptr<FrameSource>(std::move(source));
    });
    std::atomic<int> frames{0}, people{0};
    std::atomic<bool> counting{false};
    QObject::connect(
        &thread, &CameraThread::frameReady, &thread,
        [&](const QImage&, const PoseEstimator::PersonPose& pose) {
            if (!counting)
                return;
            ++frames;
            people += pose.valid ? 1 : 0;
        },
        Qt::DirectConnection);
    thread.start();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up: first inference, decoder start
    counting = true;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    counting = false;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    thread.stopAndWait();

    RunResult result;
    result.fps = frames / elapsed;
    result.personShare = frames > 0 ? static_cast<double>(people) / frames : 0.0;
    if (statistics.framesDecoded > 0)
        result.decodeMsPerFrame = statistics.decodeMilliseconds / static_cast<double>(statistics.framesDecoded);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 8;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    // Video sources are refused while this is set.
    unsetenv("KESTRO_DISABLE_AUTO_CAMERA");

    QTemporaryDir dir;
    const std::string clip = dir.filePath(QStringLiteral("bench.mkv")).toStdString();
    const cv::Mat photograph =
        vision_test::loadPhotograph(KESTRO_SOURCE_DIR "/tests/vision/data/messi5.jpg", kWidth, kHeight);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < kClipFrames; ++i) {
        frames.push_back(photograph.clone());
        vision_test::markFrameIndex(frames.back(), i % 15);
    }
    std::string error;
    if (!vision_test::writeVideoClip(clip, frames, kFps, "mpeg4", error)) {
        std::fprintf(stderr, "bench_video_source: %s\n", error.c_str());
        return 1;
    }

    auto estimator = std::make_shared<PoseEstimator>();
    if (!estimator->init(POSE_BENCH_MODEL, "cpu")) {
        std::fprintf(stderr, "bench_video_source: cannot load %s\n", POSE_BENCH_MODEL);
        return 1;
    }
    std::printf("camera thread at %d fps, %dx%d, pose network on the CPU, %d s per run\n", kFps, kWidth, kHeight,
                seconds);
    std::printf("%-6s %14s %14s %10s %18s %14s\n", "round", "synthetic fps", "file fps", "ratio", "decode ms/frame",
                "person seen");
    for (int round = 1; round <= rounds; ++round) {
        const RunResult synthetic = runCameraThread(estimator, std::string(), seconds);
        const RunResult file = runCameraThread(estimator, clip, seconds);
        std::printf("%-6d %14.1f %14.1f %10.2f %18.2f %13.0f%%\n", round, synthetic.fps, file.fps,
                    file.fps / synthetic.fps, file.decodeMsPerFrame, 100.0 * file.personShare);
    }
    return 0;
}
