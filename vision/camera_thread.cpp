#include "vision/camera_thread.h"

#include "vision/cv_drawing.h"
#include "vision/capture_frame_source.h"
#include "vision/v4l2_system.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

// Synthetic picture colours (blue, green, red).
const cv::Scalar kSyntheticBackground(40, 40, 45);
const cv::Scalar kSyntheticGrid(55, 55, 60);
const cv::Scalar kSyntheticTitle(0, 220, 220);
const cv::Scalar kSyntheticSubtitle(180, 180, 180);
const cv::Scalar kFigureBody(0, 255, 200);
const cv::Scalar kFigureLeftArm(255, 200, 0);
const cv::Scalar kFigureRightArm(0, 200, 255);
constexpr int kSyntheticGridStep = 40;
// Radians the synthetic figure's arms advance per picture: a slow wave that
// shows at a glance that frames keep coming.
constexpr double kSyntheticPhaseStep = 0.04;

// Overlay colours and the confidence bands of the bones.
const cv::Scalar kBoxColor(0, 200, 255);
const cv::Scalar kBoneHigh(0, 255, 0);
const cv::Scalar kBoneMedium(0, 200, 255);
const cv::Scalar kBoneLow(0, 0, 255);
const cv::Scalar kJointFill(255, 255, 255);
const cv::Scalar kJointRing(0, 140, 255);
constexpr float kBoneHighConfidence = 0.65f;
constexpr float kBoneMediumConfidence = 0.4f;
// The label sits just above the box, but never so high that it leaves the frame.
constexpr int kLabelLift = 8;
constexpr int kLabelMinimumY = 20;

int roundHalfAway(float value)
{
    return static_cast<int>(std::lround(value));
}

// Normalised keypoint to frame pixel, truncated toward zero in single precision.
cv::Point toPixel(float x, float y, int width, int height)
{
    return cv::Point(static_cast<int>(x * static_cast<float>(width)), static_cast<int>(y * static_cast<float>(height)));
}

} // namespace

QString CameraThread::cameraOpenErrorMessage(int deviceIndex)
{
    return QString::fromStdString(CaptureFrameSource::deviceOpenErrorMessage(deviceIndex));
}

int CameraThread::frameBudgetMs(int targetFps)
{
    const int rate = targetFps > 0 ? targetFps : kFallbackFps;
    return 1000 / rate;
}

namespace {

// Fill, grid and captions of the synthetic picture: the same in every frame.
cv::Mat drawSyntheticBackground(int width, int height)
{
    cv::Mat frame(height, width, cv::CV_8UC3, kSyntheticBackground);
    for (int y = 0; y < height; y += kSyntheticGridStep)
        cv::line(frame, cv::Point(0, y), cv::Point(width, y), kSyntheticGrid, 1, cv::LINE_8);
    for (int x = 0; x < width; x += kSyntheticGridStep)
        cv::line(frame, cv::Point(x, 0), cv::Point(x, height), kSyntheticGrid, 1, cv::LINE_8);

    cv::putText(frame, "Kestro Camera Test Feed", cv::Point(30, 40), cv::FONT_HERSHEY_SIMPLEX, 0.8,
                kSyntheticTitle, 2, cv::LINE_8);
    cv::putText(frame, "No hardware camera detected / opened", cv::Point(30, 75), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                kSyntheticSubtitle, 1, cv::LINE_8);
    return frame;
}

} // namespace

cv::Mat CameraThread::syntheticFrame(int width, int height, double phase)
{
    // About 30 drawing calls, each a painter session of its own, cost 2 to
    // 6 ms per frame; each thread keeps the last size's background and
    // starts every frame from a copy of it.
    thread_local cv::Mat background;
    if (background.cols != width || background.rows != height)
        background = drawSyntheticBackground(width, height);
    cv::Mat frame = background.clone();

    const float cx = static_cast<float>(width) * 0.5f;
    const float cy = static_cast<float>(height) * 0.5f;
    auto at = [](float x, float y) { return cv::Point(roundHalfAway(x), roundHalfAway(y)); };
    const float leftHandY = cy - 20.0f + 50.0f * static_cast<float>(std::sin(phase));
    const float rightHandY = cy - 20.0f + 50.0f * static_cast<float>(std::cos(phase));

    cv::circle(frame, at(cx, cy - 80.0f), 25, kFigureBody, 2, cv::LINE_8);
    cv::line(frame, at(cx, cy - 55.0f), at(cx, cy + 50.0f), kFigureBody, 2, cv::LINE_8);
    cv::line(frame, at(cx, cy - 30.0f), at(cx - 80.0f, leftHandY), kFigureLeftArm, 2, cv::LINE_8);
    cv::line(frame, at(cx, cy - 30.0f), at(cx + 80.0f, rightHandY), kFigureRightArm, 2, cv::LINE_8);
    cv::line(frame, at(cx, cy + 50.0f), at(cx - 40.0f, cy + 130.0f), kFigureBody, 2, cv::LINE_8);
    cv::line(frame, at(cx, cy + 50.0f), at(cx + 40.0f, cy + 130.0f), kFigureBody, 2, cv::LINE_8);
    return frame;
}

QImage CameraThread::rgbImage(const cv::Mat& frame)
{
    // Qt swaps the channels while it copies: one pass over the frame instead
    // of a swap into a new image and a copy of that.
    return QImage(frame.data, frame.cols, frame.rows, static_cast<qsizetype>(frame.step), QImage::Format_BGR888)
        .convertToFormat(QImage::Format_RGB888);
}

CameraThread::SkeletonOverlay CameraThread::computeSkeletonOverlay(const PoseEstimator::PersonPose& pose,
                                                                  int frameWidth, int frameHeight,
                                                                  float keypointThreshold)
{
    const float w = static_cast<float>(frameWidth);
    const float h = static_cast<float>(frameHeight);
    SkeletonOverlay overlay;
    overlay.box = cv::Rect(static_cast<int>(pose.x1 * w), static_cast<int>(pose.y1 * h),
                           static_cast<int>((pose.x2 - pose.x1) * w), static_cast<int>((pose.y2 - pose.y1) * h));
    overlay.boxColor = kBoxColor;

    char label[32];
    std::snprintf(label, sizeof label, "Person: %.2f", static_cast<double>(pose.score));
    overlay.label = label;
    overlay.labelOrigin = cv::Point(overlay.box.x, std::max(overlay.box.y - kLabelLift, kLabelMinimumY));

    for (const auto& [first, second] : kSkeletonBones) {
        const PoseEstimator::Keypoint& a = pose.keypoints[first];
        const PoseEstimator::Keypoint& b = pose.keypoints[second];
        if (a.confidence < keypointThreshold || b.confidence < keypointThreshold)
            continue;
        const float mean = (a.confidence + b.confidence) * 0.5f;
        const cv::Scalar& color = mean >= kBoneHighConfidence     ? kBoneHigh
                                  : mean >= kBoneMediumConfidence ? kBoneMedium
                                                                  : kBoneLow;
        overlay.bones.push_back(
            {toPixel(a.x, a.y, frameWidth, frameHeight), toPixel(b.x, b.y, frameWidth, frameHeight), color});
    }
    for (const PoseEstimator::Keypoint& k : pose.keypoints) {
        if (k.confidence >= keypointThreshold)
            overlay.joints.push_back(toPixel(k.x, k.y, frameWidth, frameHeight));
    }
    return overlay;
}

CameraThread::CameraThread(std::shared_ptr<PoseEstimator> estimator, QObject* parent)
    : QThread(parent), m_estimator(std::move(estimator))
{
}

CameraThread::~CameraThread()
{
    // The owner stops the thread with a bounded wait first (stopAndWait) and
    // keeps a thread that does not end alive rather than destroying it here.
    stopCapture();
    wait();
}

void CameraThread::setCameraConfig(int deviceIndex, int width, int height, int fps, bool mirror)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceIndex = deviceIndex;
    m_width = width;
    m_height = height;
    m_targetFps = fps;
    m_mirror = mirror;
}

void CameraThread::setInferenceParams(float confThreshold, float kptThreshold, const std::string& targetSelection,
                                      bool showSkeleton)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_confThreshold = confThreshold;
    m_kptThreshold = kptThreshold;
    m_targetSelection = targetSelection;
    m_showSkeleton = showSkeleton;
}

void CameraThread::setV4l2System(cv::V4l2System* system)
{
    m_v4l2System = system;
}

void CameraThread::setVideoSource(const std::string& location)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_videoSource = location;
}

void CameraThread::setFrameSourceFactory(FrameSourceFactory factory)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sourceFactory = std::move(factory);
}

void CameraThread::setFrameTap(FrameTap tap)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frameTap = tap ? std::make_shared<const FrameTap>(std::move(tap)) : nullptr;
}

void CameraThread::stopCapture()
{
    m_running = false;
    // The thread's own interruption flag is cleared by start() and set only
    // while the thread is started, so a stop that comes before run() has
    // set m_running is not lost.
    requestInterruption();
}

bool CameraThread::stopAndWait(int timeoutMs)
{
    stopCapture();
    if (wait(QDeadlineTimer(timeoutMs)))
        return true;
    std::fprintf(stderr, "CameraThread: capture did not stop within %d ms\n", timeoutMs);
    return false;
}

bool CameraThread::isRunning() const
{
    return m_running;
}

double CameraThread::getActualFps() const
{
    return m_actualFps;
}

void CameraThread::drawSkeleton(cv::Mat& frame, const PoseEstimator::PersonPose& pose, float keypointThreshold)
{
    const SkeletonOverlay overlay = computeSkeletonOverlay(pose, frame.cols, frame.rows, keypointThreshold);
    // One painter for the whole overlay instead of one per primitive.
    cv::DrawingSession session(frame);
    cv::rectangle(frame, overlay.box, overlay.boxColor, 2, cv::LINE_8);
    cv::putText(frame, overlay.label, overlay.labelOrigin, cv::FONT_HERSHEY_SIMPLEX, 0.55, overlay.boxColor, 2,
                cv::LINE_8);
    for (const OverlayBone& bone : overlay.bones)
        cv::line(frame, bone.from, bone.to, bone.color, 2, cv::LINE_AA);
    for (const cv::Point& joint : overlay.joints) {
        cv::circle(frame, joint, 4, kJointFill, cv::FILLED, cv::LINE_AA);
        cv::circle(frame, joint, 5, kJointRing, 1, cv::LINE_AA);
    }
}

std::unique_ptr<FrameSource> CameraThread::openFrameSource(int deviceIndex, const FrameSourceRequest& request)
{
    FrameSourceFactory factory;
    std::string location;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        factory = m_sourceFactory;
        location = m_videoSource;
    }
    std::string error;
    std::unique_ptr<FrameSource> source =
        factory ? factory(request, error)
                : CaptureFrameSource::open(m_v4l2System.load(), deviceIndex, location, request, error);
    if (!source)
        emit cameraError(QString::fromStdString(error));
    return source;
}

void CameraThread::reportSourceMessages(FrameSource& source)
{
    for (const std::string& message : source.takeMessages())
        emit cameraError(QString::fromStdString(message));
}

void CameraThread::run()
{
    m_running = !isInterruptionRequested();
    int deviceIndex, width, height, targetFps;
    bool mirror;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        deviceIndex = m_deviceIndex;
        width = m_width;
        height = m_height;
        targetFps = m_targetFps;
        mirror = m_mirror;
    }

    std::unique_ptr<FrameSource> source = openFrameSource(deviceIndex, FrameSourceRequest{width, height, targetFps});

    // Whoever was followed in the last run is no one to follow now.
    if (m_estimator)
        m_estimator->forgetFollowedPerson();

    QElapsedTimer rateTimer;
    rateTimer.start();
    int frameCount = 0;
    const int budgetMs = frameBudgetMs(targetFps);
    double phase = 0.0;

    bool frozen = false;
    while (m_running && !isInterruptionRequested()) {
        const auto passStart = std::chrono::steady_clock::now();

        cv::Mat frame;
        // A new picture: from the source, or the test feed when none opened.
        bool newPicture = true;
        const bool read = source && source->read(frame) && !frame.empty();
        if (source)
            reportSourceMessages(*source);
        if (!read) {
            phase += kSyntheticPhaseStep;
            frame = syntheticFrame(width, height, phase);
            newPicture = !source;
        } else {
            newPicture = source->lastReadWasNew();
            if (mirror)
                cv::flip(frame, frame, 1);
        }
        if (frozen != !newPicture) {
            frozen = !newPicture;
            emit cameraFrozen(frozen);
        }

        float confThreshold, kptThreshold;
        std::string targetSelection;
        bool showSkeleton;
        std::shared_ptr<const FrameTap> frameTap;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            confThreshold = m_confThreshold;
            kptThreshold = m_kptThreshold;
            targetSelection = m_targetSelection;
            showSkeleton = m_showSkeleton;
            frameTap = m_frameTap;
        }

        PoseEstimator::PersonPose person;
        if (newPicture && m_estimator && m_estimator->isModelLoaded())
            person = m_estimator->infer(frame, confThreshold, kptThreshold, targetSelection);
        if (frameTap && newPicture)
            (*frameTap)(frame, person);
        if (showSkeleton && person.valid)
            drawSkeleton(frame, person, kptThreshold);

        emit frameReady(rgbImage(frame), person);

        ++frameCount;
        const qint64 measuredMs = rateTimer.elapsed();
        if (measuredMs > 999) {
            m_actualFps = frameCount * 1000.0 / static_cast<double>(measuredMs);
            rateTimer.restart();
            frameCount = 0;
        }

        // Sleep out the rest of this frame's budget; a slow pass does not catch up.
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - passStart)
                .count();
        if (elapsedMs < budgetMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(budgetMs - elapsedMs));
    }

    // The device or stream is released here, on the thread that used it.
    source.reset();
    m_running = false;
}
