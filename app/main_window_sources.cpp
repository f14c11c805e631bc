// The main window's video sources: the camera device, a file or stream from
// the settings, or one given on the command line for this run.
#include "app/main_window.h"

#include "config/teleop_config.h"
#include "ui/video_source_picker.h"

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
