#include "vision/capture_frame_source.h"

#include "vision/v4l2_system.h"

namespace {

// The back end asked for when opening; the capture layer picks its own on Linux.
constexpr int kCaptureApiPreference = cv::CAP_DSHOW;

} // namespace

std::string CaptureFrameSource::deviceOpenErrorMessage(int deviceIndex)
{
    return "Failed to open camera device " + std::to_string(deviceIndex) + ". Using synthetic test feed.";
}

CaptureFrameSource::CaptureFrameSource(cv::V4l2System& system) : m_capture(system) {}

std::unique_ptr<FrameSource> CaptureFrameSource::open(cv::V4l2System* system, int deviceIndex,
                                                      const std::string& location, const FrameSourceRequest& request,
                                                      std::string& error)
{
    auto source = std::make_unique<CaptureFrameSource>(system ? *system : cv::posixV4l2System());
    cv::VideoCapture& capture = source->m_capture;
    if (location.empty()) {
        if (!capture.open(deviceIndex, kCaptureApiPreference)) {
            error = deviceOpenErrorMessage(deviceIndex);
            return nullptr;
        }
    } else {
        // The size limit applies from the first frame a file decodes.
        capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(request.width));
        capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(request.height));
        if (!capture.open(location, kCaptureApiPreference)) {
            error = capture.lastError();
            return nullptr;
        }
    }
    capture.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(request.width));
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(request.height));
    capture.set(cv::CAP_PROP_FPS, static_cast<double>(request.fps));
    return source;
}

bool CaptureFrameSource::read(cv::Mat& frame)
{
    return m_capture.read(frame) && !frame.empty();
}

bool CaptureFrameSource::lastReadWasNew() const
{
    return m_capture.lastReadWasNew();
}

std::vector<std::string> CaptureFrameSource::takeMessages()
{
    return m_capture.takeStatusMessages();
}
