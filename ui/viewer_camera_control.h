#pragma once

#include <QPoint>
#include <QPointF>

// The orbit camera arithmetic of the 3D robot viewer, kept free of OpenGL and
// widgets so that every step of a drag or a scroll can be checked on its own.
// The widget owns the camera state; these functions compute its next value.
namespace ViewerCameraControl {

// The view a fresh viewer (and resetCamera) starts from: close enough that
// the 0.2 m tall robot fills the view, turned a little to show its depth.
inline constexpr float kDefaultDistance = 0.45f;
inline constexpr float kDefaultYawDeg = 20.0f;
inline constexpr float kDefaultPitchDeg = 15.0f;
inline constexpr float kDefaultPanX = 0.0f;
inline constexpr float kDefaultPanY = 0.02f;

// Half a degree per pixel of drag; the pitch stops short of the poles, where
// the view would flip over.
inline constexpr float kOrbitDegPerPixel = 0.5f;
inline constexpr float kMinPitchDeg = -89.0f;
inline constexpr float kMaxPitchDeg = 89.0f;

// Panning moves the scene by a thousandth of the camera distance per pixel,
// so the robot follows the pointer at any zoom.
inline constexpr float kPanPerPixelPerDistance = 0.001f;

// 0.05 m per standard wheel step (120 units of angle delta = 15 degrees).
inline constexpr double kZoomPerWheelStep = 0.05;
inline constexpr float kMinDistance = 0.1f;
inline constexpr float kMaxDistance = 3.0f;

// The projection's depth range. The near plane sits well inside the closest
// zoom: the robot reaches about 0.08 m towards the camera from its centre, so
// a near plane at half the closest distance cut its front away. With the far
// plane at 10 m a 24-bit depth buffer still resolves well below a millimetre.
inline constexpr float kNearPlane = 0.005f;
inline constexpr float kFarPlane = 10.0f;

// The pointer position in whole pixels, each coordinate rounded to the nearest
// integer with halves away from zero (high-resolution pointers report
// fractional positions).
QPoint roundedPointerPosition(const QPointF& position);

float orbitYaw(float yawDeg, int dx);
float orbitPitch(float pitchDeg, int dy);

// Pan moves right and up with the pointer: screen y grows downwards.
float panX(float panX, int dx, float distance);
float panY(float panY, int dy, float distance);

// Scrolling away from the user (positive delta) moves the camera closer.
float zoomDistance(float distance, int verticalAngleDelta);

} // namespace ViewerCameraControl
