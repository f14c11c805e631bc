#pragma once

#include "robot/joint_set.h"

#include <QImage>
#include <QOpenGLFunctions>
#include <QPoint>
#include <QWidget>

#include <array>
#include <string>

class QMouseEvent;
class QWheelEvent;
class ViewerRenderWindow;

// The dashboard's 3D view of the robot: coloured boxes along the kinematic
// chains, posed by the 17 joint angles the robot reports, over a floor grid,
// with an orbit/pan/zoom camera on the mouse; a double-click resets it. It draws with the fixed-function
// pipeline of OpenGL 2.1; the robot's dimensions are built in and mirror the
// embedded URDF model, so the view never depends on a file being readable.
// The drawing happens in a native OpenGL window inside this widget
// (ViewerRenderWindow), and only when the robot or the camera moved.
class UrdfViewerWidget : public QWidget, protected QOpenGLFunctions
{
    Q_OBJECT

public:
    explicit UrdfViewerWidget(QWidget* parent = nullptr);

    // Angles in radians, indexed by channel. A non-finite angle keeps the
    // joint where it was: one NaN would otherwise throw every box further
    // down its chain out of the picture.
    void setJointAngles(const std::array<double, 17>& angles);
    // Kept for callers; the drawing does not use PWM values.
    void setJointPwm(const std::array<int, 17>& pwm);
    // fovDeg is limited to kMinFovDeg..kMaxFovDeg (a non-finite value keeps
    // the current one) and applies from the next frame.
    void setViewerConfig(bool showGrid, bool showAxes, bool showMeshes,
                         const std::string& renderMode, double fovDeg);
    void resetCamera();
    // Age in ms of the pose shown since the robot reported it; negative when
    // it never has. Older than kStaleAfterMs, or never reported, the robot is
    // drawn dimmed and grey, so an old pose never looks live.
    void setTelemetryAge(qint64 ageMs);
    bool showsStalePose() const { return m_stale; }
    static constexpr qint64 kStaleAfterMs = 1000;
    // The view drawn with the current state; null until the view has been
    // shown on screen once.
    QImage grabFramebuffer();
    // Frames drawn on screen so far, including the window system's repaints.
    int framesShown() const;
    // Frames the view asked for itself (it asks only when something moved).
    int framesRequested() const;

    const std::array<double, 17>& jointAngles() const { return m_jointAngles; }
    const std::array<int, 17>& jointPwm() const { return m_jointPwm; }
    bool showGrid() const { return m_showGrid; }
    bool showAxes() const { return m_showAxes; }
    bool showMeshes() const { return m_showMeshes; }
    const std::string& renderMode() const { return m_renderMode; }
    double fovDeg() const { return m_fovDeg; }
    float distance() const { return m_distance; }
    float yawDeg() const { return m_yawDeg; }
    float pitchDeg() const { return m_pitchDeg; }
    float panX() const { return m_panX; }
    float panY() const { return m_panY; }

    static constexpr double kDefaultFovDeg = 45.0;
    static constexpr double kMinFovDeg = 1.0;
    static constexpr double kMaxFovDeg = 179.0;
    static constexpr int kDefaultPwm = 1500;

    // The aspect ratio of the projection for a viewport of w x h pixels; a
    // collapsed widget (h < 1) keeps a square projection instead of dividing
    // by zero.
    static double projectionAspect(int w, int h);

protected:
    // Called by the render window with its OpenGL context current.
    void initializeGL();
    void resizeGL(int w, int h);
    void paintGL();

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

    void drawGrid();
    void drawAxes(float length);
    void drawBox(float sx, float sy, float sz, float r, float g, float b);
    void drawBaseLink();
    void drawHead();
    void drawLeftArm();
    void drawRightArm();
    void drawLeftLeg();
    void drawRightLeg();
    void drawRobot();

private:
    friend class ViewerRenderWindow;
    enum class Axis { X, Y, Z };

    // Asks the render window for one new frame (several requests before it
    // paints make one frame).
    void scheduleRepaint();

    void applyProjection();
    // One step of a chain: move to the joint and turn by the channel's angle.
    void joint(float x, float y, float z, Axis axis, int channel);
    // A box centred at (x, y, z) of the current frame; the frame is unchanged.
    void boxAt(float sx, float sy, float sz, float x, float y, float z, const float (&colour)[3]);
    // side is +1 for the robot's left and -1 for its right (y mirrored).
    void drawArm(float side, int shoulderPitch, int shoulderRoll, int elbow);
    void drawLeg(float side, int hipRoll, int hipPitch, int knee, int anklePitch, int ankleRoll);

    std::array<double, 17> m_jointAngles{};
    std::array<int, 17> m_jointPwm{};
    bool m_stale = false;
    bool m_showGrid = true;
    bool m_showAxes = true;
    bool m_showMeshes = false;
    std::string m_renderMode = "boxes";
    double m_fovDeg = kDefaultFovDeg;
    float m_distance;
    float m_yawDeg;
    float m_pitchDeg;
    float m_panX;
    float m_panY;
    QPoint m_lastMousePos{0, 0};

    // The viewport the projection was last built for, so that a new field of
    // view can be applied without waiting for a resize.
    int m_viewportWidth = 0;
    int m_viewportHeight = 0;
    bool m_projectionStale = false;

    // Owned by its window container, a child of this widget.
    ViewerRenderWindow* m_renderWindow = nullptr;
};
