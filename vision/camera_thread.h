#pragma once

#include "vision/cv_core.h"
#include "vision/frame_source.h"
#include "vision/pose_estimator.h"

#include <QImage>
#include <QString>
#include <QThread>

namespace cv {
class V4l2System;
}

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The worker behind the live view: captures a frame from the configured
// camera (or draws a synthetic test picture when there is none), mirrors it,
// finds the person in it, draws the skeleton and hands the finished picture
// with the person record to the GUI thread through a queued signal. Paces
// itself to the configured frame rate and measures the rate it reaches.
class CameraThread : public QThread
{
    Q_OBJECT

public:
    // The 16 bones of the overlay as COCO keypoint pairs, in drawing order.
    static constexpr std::array<std::pair<int, int>, 16> kSkeletonBones = {{
        {0, 1}, {0, 2}, {1, 3}, {2, 4}, {5, 6}, {5, 7}, {7, 9}, {6, 8},
        {8, 10}, {5, 11}, {6, 12}, {11, 12}, {11, 13}, {13, 15}, {12, 14}, {14, 16},
    }};

    // Pacing rate used when the configured rate is 0 or negative.
    static constexpr int kFallbackFps = 30;
    // "Failed to open camera device %1. Using synthetic test feed."
    static QString cameraOpenErrorMessage(int deviceIndex);

    // What the overlay draws for one person, in frame pixels: the geometry is
    // kept apart from the painting so that it can be checked exactly.
    struct OverlayBone
    {
        cv::Point from;
        cv::Point to;
        cv::Scalar color;
    };
    struct SkeletonOverlay
    {
        cv::Rect box;
        cv::Scalar boxColor;
        std::string label;
        cv::Point labelOrigin;
        std::vector<OverlayBone> bones;
        std::vector<cv::Point> joints;
    };
    static SkeletonOverlay computeSkeletonOverlay(const PoseEstimator::PersonPose& pose, int frameWidth,
                                                  int frameHeight, float keypointThreshold);

    // Whole milliseconds one pass may take at targetFps.
    static int frameBudgetMs(int targetFps);
    // The synthetic test picture at the given arm phase (radians).
    static cv::Mat syntheticFrame(int width, int height, double phase);
    // The frame as the red-green-blue picture the GUI shows, in a buffer of
    // its own: the GUI thread must never share this thread's buffers.
    static QImage rgbImage(const cv::Mat& frame);

    CameraThread(std::shared_ptr<PoseEstimator> estimator, QObject* parent = nullptr);
    ~CameraThread() override;

    void setCameraConfig(int deviceIndex, int width, int height, int fps, bool mirror);
    void setInferenceParams(float confThreshold, float kptThreshold, const std::string& targetSelection,
                            bool showSkeleton);
    // The system calls behind the camera (tests put a fake device there);
    // takes effect at the next start. Null: the kernel.
    void setV4l2System(cv::V4l2System* system);
    // A video file path or stream URL to read instead of the camera device;
    // empty for the device. Takes effect at the next start of the thread.
    void setVideoSource(const std::string& location);
    // Frames from `factory` instead of the configured camera, from the next
    // start of the thread on; an empty factory goes back to the camera.
    void setFrameSourceFactory(FrameSourceFactory factory);

    // Called on the camera thread with every new frame as captured (blue, green,
    // red order, mirrored if asked, before the overlay is drawn) and the
    // person found in it: what a recording keeps. An empty tap removes it.
    // The tap must not block: it runs inside the frame budget.
    using FrameTap = std::function<void(const cv::Mat& frame, const PoseEstimator::PersonPose& pose)>;
    void setFrameTap(FrameTap tap);

    // Asks the loop to end before its next frame; does not wait. Takes
    // effect at any time after start(), even before the loop has begun.
    void stopCapture();
    // How long stopAndWait waits: a pass takes at most one camera read
    // (about 2 s when the camera stalls) and one inference.
    static constexpr int kStopTimeoutMs = 5000;
    // stopCapture(), then waits at most timeoutMs for the thread to end.
    // False, with a line on standard error, when it is still running.
    bool stopAndWait(int timeoutMs = kStopTimeoutMs);
    // Whether the capture loop is meant to run (not QThread's own notion).
    bool isRunning() const;
    double getActualFps() const;

signals:
    void frameReady(const QImage& frame, const PoseEstimator::PersonPose& pose);
    void cameraError(const QString& message);
    // The open camera stopped delivering new frames (true) or delivers
    // again (false). While frozen, the last picture may still be shown but
    // carries no person: a repeated picture is no evidence of the present.
    void cameraFrozen(bool frozen);

protected:
    void run() override;

private:
    void drawSkeleton(cv::Mat& frame, const PoseEstimator::PersonPose& pose, float keypointThreshold);
    std::unique_ptr<FrameSource> openFrameSource(int deviceIndex, const FrameSourceRequest& request);
    void reportSourceMessages(FrameSource& source);

    std::shared_ptr<PoseEstimator> m_estimator;
    std::atomic<bool> m_running{false};
    std::atomic<cv::V4l2System*> m_v4l2System{nullptr};

    mutable std::mutex m_mutex;
    int m_deviceIndex = 0;
    int m_width = 640;
    int m_height = 480;
    int m_targetFps = 30;
    bool m_mirror = true;
    std::string m_videoSource;
    FrameSourceFactory m_sourceFactory;
    float m_confThreshold = 0.5f;
    float m_kptThreshold = 0.4f;
    std::string m_targetSelection = "largest";
    bool m_showSkeleton = true;
    // Shared so that a pass keeps the tap it started with while the GUI swaps it.
    std::shared_ptr<const FrameTap> m_frameTap;

    std::atomic<double> m_actualFps{0.0};
};
