#pragma once

#include "record/recording_writer.h"
#include "record/session_messages.h"
#include "vision/cv_core.h"
#include "vision/pose_estimator.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>

// One recorded session: turns what the dashboard sees and does into the
// recording's messages and hands them to a RecordingWriter. Safe to call
// from the camera thread (recordFrame) and the GUI thread (the rest) at
// once; nothing here touches the disk or encodes a picture on the caller's
// thread.
class SessionRecorder
{
public:
    SessionRecorder();
    explicit SessionRecorder(RecordingWriter::Options options);

    // imageFps: pictures per second kept, 0 for every frame.
    // keypointThreshold: as the overlay's, so the recording draws what the operator saw.
    bool start(const QString& path, int imageFps, float keypointThreshold);
    void requestStop();
    bool isDone() const { return m_writer.isDone(); }
    RecordingWriter::Status status() const { return m_writer.status(); }
    const QString& path() const { return m_path; }
    std::uint64_t startNs() const { return m_startNs; }

    // Camera thread: the frame before the overlay, and the person in it.
    void recordFrame(const cv::Mat& bgrFrame, const PoseEstimator::PersonPose& pose);
    void recordCommand(const std::array<double, 17>& angles, const std::array<int, 17>& pwm,
                       const std::array<bool, 17>& valid, const char* outcome);
    void recordTelemetry(const std::array<int, 17>& pwm, const std::array<double, 17>& angles,
                         const std::array<bool, 17>& valid);
    void recordEvent(session::EventLevel level, const QString& text);

private:
    RecordingWriter m_writer;
    QString m_path;
    std::uint64_t m_startNs = 0;
    std::atomic<std::uint64_t> m_imageIntervalNs{0};
    std::atomic<float> m_keypointThreshold{0.4f};
    // Camera thread only.
    std::uint64_t m_lastImageNs = 0;
};
