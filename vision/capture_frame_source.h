#pragma once

#include "vision/frame_source.h"
#include "vision/video_capture.h"

#include <memory>
#include <string>

// The camera thread's usual source: a cv::VideoCapture on a local camera
// (by index) or on a video file or network stream (by path or URL).
class CaptureFrameSource : public FrameSource
{
public:
    // `location` empty: camera `deviceIndex`, its system calls going to
    // `system` (null: the kernel); otherwise a file path or URL. Null with
    // `error` set when it cannot be opened.
    static std::unique_ptr<FrameSource> open(cv::V4l2System* system, int deviceIndex, const std::string& location,
                                             const FrameSourceRequest& request, std::string& error);

    explicit CaptureFrameSource(cv::V4l2System& system);

    bool read(cv::Mat& frame) override;
    bool lastReadWasNew() const override;
    std::vector<std::string> takeMessages() override;

    // "Failed to open camera device %1. Using synthetic test feed."
    static std::string deviceOpenErrorMessage(int deviceIndex);

private:
    cv::VideoCapture m_capture;
};
