// Playing a recording back as the camera: the playback source's time per
// 640x480 picture (taking the JPEG out of its message, decoding it) against
// the time the camera thread's synthetic feed takes to draw one (the peer,
// in the same run), and the camera thread's rate with the pose network on
// both. The recording is written here: a test photograph at 30 fps.
//
// Usage: bench_playback [seconds per run] [rounds]   (defaults: 8, 3); it draws
// text, so it needs a display or QT_QPA_PLATFORM=offscreen.
#include "app/playback_frame_source.h"
#include "record/playback_clock.h"
#include "record/recording_playback.h"
#include "record/recording_writer.h"
#include "record/session_messages.h"
#include "vision/camera_thread.h"
#include "vision/pose_estimator.h"

#include <QBuffer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFps = 30;
// Long enough that no run reaches the end of the recording.
constexpr int kRecordedSeconds = 40;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool writeRecording(const QString& path)
{
    QImage picture(QStringLiteral(KESTRO_SOURCE_DIR "/tests/vision/data/messi5.jpg"));
    if (picture.isNull())
        return false;
    picture = picture.scaled(kWidth, kHeight).convertToFormat(QImage::Format_BGR888);
    RecordingWriter writer;
    if (!writer.start(path.toStdString(), session::channels(), "bench"))
        return false;
    const std::uint64_t begin = RecordingWriter::nowNs();
    for (int i = 0; i < kRecordedSeconds * kFps; ++i) {
        // A few distinct pictures, as the recorder encodes them (quality 80).
        QImage frame = picture.copy();
        frame.setPixel(i % kWidth, 0, 0xffffff);
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        frame.save(&buffer, "JPG", 80);
        const std::uint64_t t = begin + static_cast<std::uint64_t>(i) * (1000000000ull / kFps);
        writer.post(session::CameraChannel, t, session::compressedImage(t, jpeg));
    }
    writer.finish();
    return writer.status().state == RecordingWriter::State::Finished;
}

struct PerFrame
{
    double playbackMs = 0.0;
    double extractMs = 0.0;
    double syntheticMs = 0.0;
};

PerFrame timePerFrame(const RecordingPlayback& recording, int frames)
{
    PerFrame result;
    auto start = Clock::now();
    for (int i = 0; i < frames; ++i)
        PlaybackFrameSource::decodeJpeg(recording.frameJpeg(i));
    result.playbackMs = msSince(start) / frames;
    start = Clock::now();
    for (int i = 0; i < frames; ++i)
        recording.frameJpeg(i);
    result.extractMs = msSince(start) / frames;
    start = Clock::now();
    for (int i = 0; i < frames; ++i)
        CameraThread::syntheticFrame(kWidth, kHeight, i * 0.04);
    result.syntheticMs = msSince(start) / frames;
    return result;
}

double cameraThreadFps(const std::shared_ptr<PoseEstimator>& estimator,
                       const std::shared_ptr<const RecordingPlayback>& recording, int seconds)
{
    CameraThread thread(estimator);
    thread.setCameraConfig(0, kWidth, kHeight, kFps, false);
    std::shared_ptr<PlaybackClock> clock;
    if (recording)
        clock = std::make_shared<PlaybackClock>(recording->beginNs(), recording->endNs(), recording->frameTimesNs());
    // Without a recording a source that does not open, which leaves the synthetic feed.
    thread.setFrameSourceFactory([&](const FrameSourceRequest&, std::string& error) -> std::unique_ptr<FrameSource> {
        if (!recording) {
            error = "no recording";
            return nullptr;
        }
        return std::make_unique<PlaybackFrameSource>(recording, clock);
    });
    std::atomic<int> frames{0};
    std::atomic<bool> counting{false};
    QObject::connect(
        &thread, &CameraThread::frameReady, &thread,
        [&](const QImage&, const PoseEstimator::PersonPose&) {
            if (counting)
                ++frames;
        },
        Qt::DirectConnection);
    if (clock)
        clock->play();
    thread.start();
    std::this_thread::sleep_for(std::chrono::seconds(1)); // warm-up: first inference
    counting = true;
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    counting = false;
    const double elapsedMs = msSince(start);
    thread.stopAndWait();
    return frames * 1000.0 / elapsedMs;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 8;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.mcap"));
    if (!writeRecording(path)) {
        std::fprintf(stderr, "bench_playback: cannot write the recording\n");
        return 1;
    }
    auto recording = std::make_shared<RecordingPlayback>();
    const auto opening = Clock::now();
    if (!recording->open(path)) {
        std::fprintf(stderr, "bench_playback: %s\n", recording->error().toUtf8().constData());
        return 1;
    }
    // Opening reads the whole file once (checksums, the index), on the GUI thread.
    std::printf("opening a %.0f MB recording of %zu pictures: %.0f ms\n",
                static_cast<double>(QFileInfo(path).size()) / (1024.0 * 1024.0), recording->frameTimesNs().size(),
                msSince(opening));
    auto estimator = std::make_shared<PoseEstimator>();
    if (!estimator->init(PoseEstimator::kEmbeddedModelPath, "cpu")) {
        std::fprintf(stderr, "bench_playback: cannot load the embedded network\n");
        return 1;
    }

    std::printf("%dx%d pictures, recording at %d fps; camera thread with the pose network on the CPU, %d s per run\n",
                kWidth, kHeight, kFps, seconds);
    std::printf("%-6s %16s %16s %16s %8s %14s %14s %8s\n", "round", "playback ms/pic", "(of which JSON)",
                "synthetic ms/pic", "ratio", "synthetic fps", "playback fps", "ratio");
    for (int round = 1; round <= rounds; ++round) {
        const PerFrame perFrame = timePerFrame(*recording, 200);
        const double syntheticFps = cameraThreadFps(estimator, nullptr, seconds);
        const double playbackFps = cameraThreadFps(estimator, recording, seconds);
        std::printf("%-6d %16.2f %16.2f %16.2f %8.2f %14.1f %14.1f %8.2f\n", round, perFrame.playbackMs,
                    perFrame.extractMs, perFrame.syntheticMs, perFrame.playbackMs / perFrame.syntheticMs,
                    syntheticFps, playbackFps, playbackFps / syntheticFps);
    }
    return 0;
}
