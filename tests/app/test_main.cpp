// The app tests need a real QApplication (widgets, OpenGL on a real X
// server) before any test runs, so this program has its own main.
#include "app/application_setup.h"
#include "robot/joint_set.h"
#include "vision/pose_estimator.h"

#include <QApplication>
#include <QMetaType>
#include <QSurfaceFormat>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

int main(int argc, char** argv)
{
    // No camera and no broker unless a test asks for one: the window is
    // built in a known state, and nothing reaches for real hardware.
    ::setenv("KESTRO_DISABLE_AUTO_CAMERA", "1", 1);
    ::setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
    // The start-up update check goes to a loopback port that refuses at
    // once, never to the vendor's catalog.
    ::setenv("KESTRO_UPDATE_URL", "https://127.0.0.1:9/version.json", 1);

    selectTeleopSurfaceFormat();

    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    registerTeleopMetaTypes();

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
