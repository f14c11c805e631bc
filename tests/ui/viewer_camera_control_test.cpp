// The camera arithmetic at the edges that mouse events do not reach easily;
// the ordinary drags and wheel steps are driven through the widget.
#include "ui/urdf_viewer_widget.h"
#include "ui/viewer_camera_control.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

namespace cam = ViewerCameraControl;

TEST(ViewerCameraControl, OrbitLimitsOnlyThePitch)
{
    EXPECT_FLOAT_EQ(cam::orbitPitch(15.0f, -300), -89.0f);
    EXPECT_FLOAT_EQ(cam::orbitPitch(-89.0f, -1), -89.0f);
    EXPECT_FLOAT_EQ(cam::orbitPitch(15.0f, 1), 15.5f);
    EXPECT_FLOAT_EQ(cam::orbitYaw(20.0f, 1000), 520.0f);
    EXPECT_FLOAT_EQ(cam::orbitYaw(20.0f, -100), -30.0f);
}

TEST(ViewerCameraControl, PanAndZoomScaleAndStayWithinLimits)
{
    EXPECT_NEAR(cam::panX(0.0f, 100, 3.0f), 0.3f, 1e-6);
    EXPECT_NEAR(cam::panY(0.02f, -20, 0.1f), 0.022f, 1e-7);
    // High-resolution wheels send fractions of a 120-unit step.
    EXPECT_NEAR(cam::zoomDistance(0.45f, 60), 0.425f, 1e-6);
    EXPECT_FLOAT_EQ(cam::zoomDistance(0.45f, 0), 0.45f);
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
    EXPECT_DOUBLE_EQ(UrdfViewerWidget::projectionAspect(480, 360), 480.0 / 360.0);
}
