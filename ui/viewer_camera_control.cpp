#include "ui/viewer_camera_control.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace ViewerCameraControl {
namespace {

int roundedCoordinate(double value)
{
    // A pointer far outside any screen (or a NaN from a broken driver) must
    // not overflow the integer conversion.
    if (!std::isfinite(value)) {
        return 0;
    }
    const double clamped = std::clamp(value, double(INT_MIN), double(INT_MAX));
    return int(std::round(clamped));
}

} // namespace

QPoint roundedPointerPosition(const QPointF& position)
{
    return QPoint(roundedCoordinate(position.x()), roundedCoordinate(position.y()));
}

float orbitYaw(float yawDeg, int dx)
{
    return yawDeg + kOrbitDegPerPixel * float(dx);
}

float orbitPitch(float pitchDeg, int dy)
{
    return std::clamp(pitchDeg + kOrbitDegPerPixel * float(dy), kMinPitchDeg, kMaxPitchDeg);
}

float panX(float panX, int dx, float distance)
{
    return panX + kPanPerPixelPerDistance * float(dx) * distance;
}

float panY(float panY, int dy, float distance)
{
    return panY - kPanPerPixelPerDistance * float(dy) * distance;
}

float zoomDistance(float distance, int verticalAngleDelta)
{
    const double wheelSteps = double(verticalAngleDelta) * 0.125 / 15.0;
    const double next = double(distance) - wheelSteps * kZoomPerWheelStep;
    return float(std::clamp(next, double(kMinDistance), double(kMaxDistance)));
}

} // namespace ViewerCameraControl
