#include "app/session_recorder.h"

#include "vision/camera_thread.h"

#include <QBuffer>
#include <QImage>

namespace {

// Quality 80: the picture stays good enough to rerun the pose network on it
// at a third of the size of quality 95.
constexpr int kJpegQuality = 80;
const char* const kLibrary = "kestro-teleop";
// About the size of one frame's annotation message, for the queue's bound.
constexpr std::size_t kAnnotationBytes = 2048;

session::PixelPoint pixel(const cv::Point& point)
{
    return {point.x, point.y};
}

// Overlay colours are (blue, green, red); the recording's are (red, green, blue).
std::array<int, 3> rgb(const cv::Scalar& bgr)
{
    return {static_cast<int>(bgr.val[2]), static_cast<int>(bgr.val[1]), static_cast<int>(bgr.val[0])};
}

session::Skeleton skeletonOf(const PoseEstimator::PersonPose& pose, int width, int height, float threshold)
{
    session::Skeleton skeleton;
    if (!pose.valid)
        return skeleton;
    const CameraThread::SkeletonOverlay overlay =
        CameraThread::computeSkeletonOverlay(pose, width, height, threshold);
    skeleton.present = true;
    skeleton.boxTopLeft = {overlay.box.x, overlay.box.y};
    skeleton.boxBottomRight = {overlay.box.x + overlay.box.width, overlay.box.y + overlay.box.height};
    skeleton.boxRgb = rgb(overlay.boxColor);
    for (const CameraThread::OverlayBone& bone : overlay.bones)
        skeleton.bones.push_back({pixel(bone.from), pixel(bone.to), rgb(bone.color)});
    for (const cv::Point& joint : overlay.joints)
        skeleton.joints.push_back(pixel(joint));
    return skeleton;
}

} // namespace

SessionRecorder::SessionRecorder() = default;

SessionRecorder::SessionRecorder(RecordingWriter::Options options) : m_writer(options) {}

bool SessionRecorder::start(const QString& path, int imageFps, float keypointThreshold)
{
    m_path = path;
    m_startNs = RecordingWriter::nowNs();
    m_imageIntervalNs = imageFps > 0 ? 1000000000ull / static_cast<std::uint64_t>(imageFps) : 0;
    m_keypointThreshold = keypointThreshold;
    return m_writer.start(path.toStdString(), session::channels(), kLibrary);
}

void SessionRecorder::requestStop()
{
    m_writer.requestStop();
}

void SessionRecorder::recordFrame(const cv::Mat& bgrFrame, const PoseEstimator::PersonPose& pose)
{
    const std::uint64_t now = RecordingWriter::nowNs();
    // Built on the writer thread too: the camera thread only copies.
    const int width = bgrFrame.cols;
    const int height = bgrFrame.rows;
    const float threshold = m_keypointThreshold;
    m_writer.post(session::AnnotationsChannel, now, sizeof(pose) + kAnnotationBytes,
                  [pose, width, height, threshold, now] {
                      return session::imageAnnotations(now, skeletonOf(pose, width, height, threshold));
                  });

    // A small slack so that a 30 fps camera is not cut to 15 when the wanted
    // rate is 30 and a frame comes a millisecond early.
    const std::uint64_t interval = m_imageIntervalNs;
    if (m_lastImageNs != 0 && now - m_lastImageNs + interval / 8 < interval)
        return;
    m_lastImageNs = now;
    // One copy here; the JPEG encoding happens on the writer thread.
    const QImage picture = QImage(bgrFrame.data, bgrFrame.cols, bgrFrame.rows,
                                  static_cast<qsizetype>(bgrFrame.step), QImage::Format_BGR888)
                               .copy();
    m_writer.post(session::CameraChannel, now, static_cast<std::size_t>(picture.sizeInBytes()), [picture, now] {
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "JPG", kJpegQuality);
        return session::compressedImage(now, jpeg);
    });
}

void SessionRecorder::recordCommand(const std::array<double, 17>& angles, const std::array<int, 17>& pwm,
                                    const std::array<bool, 17>& valid, const char* outcome)
{
    const std::uint64_t now = RecordingWriter::nowNs();
    m_writer.post(session::CommandChannel, now, session::commandedState(now, angles, pwm, valid, outcome));
}

void SessionRecorder::recordTelemetry(const std::array<int, 17>& pwm, const std::array<double, 17>& angles,
                                      const std::array<bool, 17>& valid)
{
    const std::uint64_t now = RecordingWriter::nowNs();
    m_writer.post(session::TelemetryChannel, now, session::telemetry(now, pwm, angles, valid));
}

void SessionRecorder::recordEvent(session::EventLevel level, const QString& text)
{
    const std::uint64_t now = RecordingWriter::nowNs();
    m_writer.post(session::EventsChannel, now, session::event(now, level, text));
}
