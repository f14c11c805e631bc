#include "ui/viewer_camera_control.h"
#include "ui/urdf_viewer_widget.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace cam = ViewerCameraControl;

TEST(ViewerCameraControl, PitchFollowsVerticalDragAndStopsShortOfThePoles)
{
    struct Case {
        float startDeg;
        int dy;
        float expectedDeg;
    };
    const Case cases[] = {
        {15.0f, 300, 89.0f},   // 15 + 150 is past the top
        {89.0f, -10, 84.0f},   // and coming back moves at once
        {15.0f, -300, -89.0f},
        {15.0f, 10, 20.0f},
        {15.0f, 1, 15.5f},
        {-89.0f, -1, -89.0f},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(cam::orbitPitch(c.startDeg, c.dy), c.expectedDeg)
            << c.startDeg << " dragged by " << c.dy;
    }
}

TEST(ViewerCameraControl, YawTurnsHalfADegreePerPixelWithoutLimit)
{
    EXPECT_FLOAT_EQ(cam::orbitYaw(20.0f, 10), 25.0f);
    EXPECT_FLOAT_EQ(cam::orbitYaw(20.0f, -100), -30.0f);
    EXPECT_FLOAT_EQ(cam::orbitYaw(20.0f, 1000), 520.0f);
}

TEST(ViewerCameraControl, PanScalesWithDistanceAndFollowsThePointer)
{
    EXPECT_NEAR(cam::panX(0.0f, 100, 0.45f), 0.045f, 1e-7);
    EXPECT_NEAR(cam::panX(0.0f, -100, 0.45f), -0.045f, 1e-7);
    EXPECT_NEAR(cam::panX(0.0f, 100, 3.0f), 0.3f, 1e-6);
    // Screen y grows downwards; dragging down moves the scene down.
    EXPECT_NEAR(cam::panY(0.02f, 100, 0.45f), 0.02f - 0.045f, 1e-7);
    EXPECT_NEAR(cam::panY(0.02f, -20, 0.1f), 0.022f, 1e-7);
}

TEST(ViewerCameraControl, WheelZoomsByFiveCentimetresPerStepWithinLimits)
{
    float distance = cam::kDefaultDistance;
    for (int step = 0; step < 10; ++step) {
        distance = cam::zoomDistance(distance, -120);
    }
    EXPECT_NEAR(distance, 0.95f, 1e-6);

    EXPECT_NEAR(cam::zoomDistance(0.45f, 120), 0.40f, 1e-6);
    // High-resolution wheels send fractions of a step.
    EXPECT_NEAR(cam::zoomDistance(0.45f, 60), 0.425f, 1e-6);
    EXPECT_FLOAT_EQ(cam::zoomDistance(0.45f, 0), 0.45f);

    for (int step = 0; step < 100; ++step) {
        distance = cam::zoomDistance(distance, 120);
    }
    EXPECT_FLOAT_EQ(distance, cam::kMinDistance);
    EXPECT_FLOAT_EQ(cam::kMinDistance, 0.1f);
    for (int step = 0; step < 100; ++step) {
        distance = cam::zoomDistance(distance, -120);
    }
    EXPECT_FLOAT_EQ(distance, 3.0f);
    EXPECT_FLOAT_EQ(cam::zoomDistance(0.45f, INT_MIN), 3.0f);
    EXPECT_FLOAT_EQ(cam::zoomDistance(0.45f, INT_MAX), 0.1f);
}

TEST(ViewerCameraControl, PointerPositionsRoundHalvesAwayFromZero)
{
    struct Case {
        QPointF position;
        QPoint expected;
    };
    const Case cases[] = {
        {{10.5, -10.5}, {11, -11}},
        {{2.4, -2.6}, {2, -3}},
        {{-0.5, 0.5}, {-1, 1}},
        {{7.0, 8.0}, {7, 8}},
        {{1e12, -1e12}, {INT_MAX, INT_MIN}},
        {{std::numeric_limits<double>::quiet_NaN(), 3.0}, {0, 3}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cam::roundedPointerPosition(c.position), c.expected)
            << c.position.x() << ", " << c.position.y();
    }
}

TEST(ViewerCameraControl, CollapsedViewportKeepsASquareProjection)
{
    EXPECT_DOUBLE_EQ(UrdfViewerWidget::projectionAspect(800, 0), 1.0);
    EXPECT_DOUBLE_EQ(UrdfViewerWidget::projectionAspect(800, -5), 1.0);
    EXPECT_DOUBLE_EQ(UrdfViewerWidget::projectionAspect(800, 600), 800.0 / 600.0);
    EXPECT_DOUBLE_EQ(UrdfViewerWidget::projectionAspect(480, 360), 480.0 / 360.0);
}
