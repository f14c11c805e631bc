// The demo as the window's video source: "demo:" in the settings' file or
// stream field replaces the camera with the animated photograph, and another
// source applied later replaces the demo again.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "tests/app/app_test_support.h"
#include "ui/video_source_picker.h"
#include "vision/camera_thread.h"

#include <gtest/gtest.h>

#include <QStatusBar>

#include <cstdlib>
#include <memory>

using kestro_app_test::processEventsUntil;
using namespace std::chrono_literals;

TEST(DemoSourceWindow, TheDemoLocationReplacesTheCameraUntilAnotherSourceIsApplied)
{
    ::unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    TeleopConfig& config = *TeleopConfig::instance();
    config.populateDefaults();
    // No such camera: were it opened instead, the window would say so.
    config.camera.deviceIndex = 9;
    config.camera.sourceType = VideoSourcePicker::kMediaSource;
    config.camera.mediaLocation = "Demo:";
    ASSERT_TRUE(config.save(""));
    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    ::setenv("KESTRO_DISABLE_AUTO_CAMERA", "1", 1);

    QSize size;
    int people = 0;
    QObject::connect(window->cameraThread(), &CameraThread::frameReady, window.get(),
                     [&](const QImage& frame, const PoseEstimator::PersonPose& pose) {
                         size = frame.size();
                         people += pose.valid ? 1 : 0;
                     });
    // The photograph keeps its shape in the 640 x 480 frame, and the
    // network finds the footballer in it.
    EXPECT_TRUE(processEventsUntil([&] { return people >= 3; }, 60s)) << people;
    EXPECT_EQ(size, QSize(640, 399));
    EXPECT_FALSE(window->statusBar()->currentMessage().contains(QStringLiteral("camera device")));

    config.camera.sourceType = VideoSourcePicker::kDeviceSource;
    window->onSettingsApplied();
    EXPECT_TRUE(processEventsUntil(
        [&] {
            return window->statusBar()->currentMessage() ==
                   QStringLiteral("Failed to open camera device 9. Using synthetic test feed.");
        },
        30s));
    EXPECT_TRUE(processEventsUntil([&] { return size == QSize(640, 480); }, 30s));
}
