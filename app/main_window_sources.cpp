// The main window's video sources: the camera device, a file or stream from
// the settings, or one given on the command line for this run.
#include "app/main_window.h"

#include "config/teleop_config.h"
#include "ui/video_source_picker.h"
#include "vision/camera_thread.h"
#include "vision/demo_frame_source.h"

std::string MainWindow::videoSourceLocation()
{
    const TeleopConfig::CameraConfig& camera = TeleopConfig::instance()->camera;
    // The operator chose a source in the settings since the start: that
    // choice is newer than the command line's.
    if (camera.sourceType != m_startSourceType || camera.mediaLocation != m_startMediaLocation) {
        m_runOptions.videoSource.clear();
        m_startSourceType = camera.sourceType;
        m_startMediaLocation = camera.mediaLocation;
    }
    if (!m_runOptions.videoSource.empty())
        return m_runOptions.videoSource;
    return camera.sourceType == VideoSourcePicker::kMediaSource ? camera.mediaLocation : std::string();
}

void MainWindow::applyVideoSource()
{
    const std::string location = videoSourceLocation();
    // Sources that are not captured (the demo's animated photograph) come
    // through the thread's source factory; an empty one leaves the location
    // to the thread's own capture. A recording being played holds the
    // factory until it is closed.
    if (!m_playback) {
        m_cameraThread->setFrameSourceFactory(
            DemoFrameSource::factoryFor(location, TeleopConfig::instance()->camera.mirrorVideo));
    }
    m_cameraThread->setVideoSource(location);
}
