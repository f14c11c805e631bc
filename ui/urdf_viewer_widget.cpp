#include "ui/urdf_viewer_widget.h"

#include "ui/viewer_camera_control.h"
#include "ui/viewer_render_window.h"

#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <GL/glu.h>

#include <algorithm>
#include <cmath>

namespace {

// Colours of the URDF materials the boxes stand for.
constexpr float kArmorRed[3] = {0.84f, 0.23f, 0.18f};
constexpr float kChestGold[3] = {0.86f, 0.68f, 0.48f};
constexpr float kServoBlack[3] = {0.16f, 0.17f, 0.20f};
constexpr float kReactorCyan[3] = {0.18f, 0.82f, 1.0f};
constexpr float kLensDark[3] = {0.08f, 0.09f, 0.11f};

// The grid lies at the level of the robot's soles in its zero pose.
constexpr float kGridHalfSize = 0.4f;
constexpr float kGridStep = 0.04f;
constexpr float kGridHeight = -0.18f;
constexpr int kGridLinesPerDirection = 21;
constexpr float kAxesLength = 0.12f;

// Maps the robot frame (x forward, y left, z up) onto the screen-space frame
// of the grid (x right, y up, z towards the viewer), column-major.
constexpr GLfloat kRobotToScreen[16] = {
    0, 0, 1, 0,
    1, 0, 0, 0,
    0, 1, 0, 0,
    0, 0, 0, 1,
};

double toDegrees(double radians)
{
    return radians * 180.0 / kPi;
}

} // namespace

UrdfViewerWidget::UrdfViewerWidget(QWidget* parent)
    : QWidget(parent)
    , m_distance(ViewerCameraControl::kDefaultDistance)
    , m_yawDeg(ViewerCameraControl::kDefaultYawDeg)
    , m_pitchDeg(ViewerCameraControl::kDefaultPitchDeg)
    , m_panX(ViewerCameraControl::kDefaultPanX)
    , m_panY(ViewerCameraControl::kDefaultPanY)
{
    m_jointPwm.fill(kDefaultPwm);
    m_renderWindow = new ViewerRenderWindow(*this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(QWidget::createWindowContainer(m_renderWindow, this));
}

void UrdfViewerWidget::setTelemetryAge(qint64 ageMs)
{
    const bool stale = ageMs < 0 || ageMs > kStaleAfterMs;
    if (stale == m_stale)
        return; // drawn only when something changed
    m_stale = stale;
    scheduleRepaint();
}

void UrdfViewerWidget::scheduleRepaint()
{
    m_renderWindow->update();
}

int UrdfViewerWidget::framesShown() const
{
    return m_renderWindow->framesShown();
}

int UrdfViewerWidget::framesRequested() const
{
    return m_renderWindow->framesRequested();
}

QImage UrdfViewerWidget::grabFramebuffer()
{
    return m_renderWindow->grabScene();
}

void UrdfViewerWidget::setJointAngles(const std::array<double, 17>& angles)
{
    bool changed = false;
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (std::isfinite(angles[channel]) && angles[channel] != m_jointAngles[channel]) {
            m_jointAngles[channel] = angles[channel];
            changed = true;
        }
    }
    // Telemetry repeats a resting robot's pose many times a second; only a
    // move is worth a frame.
    if (changed) {
        scheduleRepaint();
    }
}

void UrdfViewerWidget::setJointPwm(const std::array<int, 17>& pwm)
{
    m_jointPwm = pwm;
}

void UrdfViewerWidget::setViewerConfig(bool showGrid, bool showAxes, bool showMeshes,
                                       const std::string& renderMode, double fovDeg)
{
    m_showGrid = showGrid;
    m_showAxes = showAxes;
    m_showMeshes = showMeshes;
    m_renderMode = renderMode;
    // A field of view of 0 or 180 degrees has no perspective projection.
    if (std::isfinite(fovDeg)) {
        m_fovDeg = std::clamp(fovDeg, kMinFovDeg, kMaxFovDeg);
    }
    m_projectionStale = true;
    scheduleRepaint();
}

void UrdfViewerWidget::resetCamera()
{
    m_distance = ViewerCameraControl::kDefaultDistance;
    m_yawDeg = ViewerCameraControl::kDefaultYawDeg;
    m_pitchDeg = ViewerCameraControl::kDefaultPitchDeg;
    m_panX = ViewerCameraControl::kDefaultPanX;
    m_panY = ViewerCameraControl::kDefaultPanY;
    scheduleRepaint();
}

double UrdfViewerWidget::projectionAspect(int w, int h)
{
    return h < 1 ? 1.0 : double(w) / double(h);
}

void UrdfViewerWidget::initializeGL()
{
    initializeOpenGLFunctions();

    glClearColor(0.039f, 0.059f, 0.114f, 1.0f);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);

    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glEnable(GL_LIGHT1);
    glEnable(GL_COLOR_MATERIAL);
    glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);

    // Given while the model-view matrix is the identity: the lights move with
    // the camera, so the side the operator looks at is always lit.
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    const GLfloat keyPosition[] = {0.6f, 1.2f, 0.8f, 1.0f};
    const GLfloat keyAmbient[] = {0.35f, 0.35f, 0.4f, 1.0f};
    const GLfloat keyDiffuse[] = {0.85f, 0.85f, 0.85f, 1.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, keyPosition);
    glLightfv(GL_LIGHT0, GL_AMBIENT, keyAmbient);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, keyDiffuse);
    const GLfloat rimPosition[] = {-0.8f, 0.5f, -0.6f, 1.0f};
    const GLfloat rimDiffuse[] = {0.024f, 0.45f, 0.65f, 1.0f};
    glLightfv(GL_LIGHT1, GL_POSITION, rimPosition);
    glLightfv(GL_LIGHT1, GL_DIFFUSE, rimDiffuse);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

void UrdfViewerWidget::resizeGL(int w, int h)
{
    m_viewportWidth = w;
    m_viewportHeight = h;
    glViewport(0, 0, w, h);
    applyProjection();
}

// Only the projection matrix: before every paint the widget sets the viewport
// to its framebuffer in device pixels, which a viewport given here in
// logical pixels would shrink on a high-density screen.
void UrdfViewerWidget::applyProjection()
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(m_fovDeg, projectionAspect(m_viewportWidth, m_viewportHeight), ViewerCameraControl::kNearPlane,
                   ViewerCameraControl::kFarPlane);
    glMatrixMode(GL_MODELVIEW);
    m_projectionStale = false;
}

void UrdfViewerWidget::paintGL()
{
    if (m_projectionStale) {
        applyProjection();
    }
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    glTranslatef(m_panX, m_panY, -m_distance);
    glRotatef(m_pitchDeg, 1.0f, 0.0f, 0.0f);
    glRotatef(m_yawDeg, 0.0f, 1.0f, 0.0f);

    if (m_showGrid) {
        drawGrid();
    }
    if (m_showAxes) {
        drawAxes(kAxesLength);
    }
    drawRobot();
}

void UrdfViewerWidget::mousePressEvent(QMouseEvent* event)
{
    m_lastMousePos = ViewerCameraControl::roundedPointerPosition(event->position());
    event->accept();
}

void UrdfViewerWidget::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint position = ViewerCameraControl::roundedPointerPosition(event->position());
    const int dx = position.x() - m_lastMousePos.x();
    const int dy = position.y() - m_lastMousePos.y();

    if (event->buttons() & Qt::LeftButton) {
        m_yawDeg = ViewerCameraControl::orbitYaw(m_yawDeg, dx);
        m_pitchDeg = ViewerCameraControl::orbitPitch(m_pitchDeg, dy);
        scheduleRepaint();
    } else if (event->buttons() & (Qt::RightButton | Qt::MiddleButton)) {
        m_panX = ViewerCameraControl::panX(m_panX, dx, m_distance);
        m_panY = ViewerCameraControl::panY(m_panY, dy, m_distance);
        scheduleRepaint();
    }
    m_lastMousePos = position;
    event->accept();
}

// However far the operator orbited, panned or zoomed, a double-click brings
// the start view back.
void UrdfViewerWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        resetCamera();
    event->accept();
}

void UrdfViewerWidget::wheelEvent(QWheelEvent* event)
{
    m_distance = ViewerCameraControl::zoomDistance(m_distance, event->angleDelta().y());
    scheduleRepaint();
    event->accept();
}

void UrdfViewerWidget::drawGrid()
{
    glDisable(GL_LIGHTING);
    glBegin(GL_LINES);
    // Accumulated in single precision, so the centre line is the one that
    // lands within a millimetre of zero rather than exactly on it.
    float x = -kGridHalfSize;
    for (int line = 0; line < kGridLinesPerDirection; ++line, x += kGridStep) {
        if (std::fabs(x) < 0.001f) {
            glColor4f(0.024f, 0.714f, 0.831f, 0.85f);
        } else {
            glColor4f(0.12f, 0.16f, 0.23f, 0.55f);
        }
        glVertex3f(x, kGridHeight, -kGridHalfSize);
        glVertex3f(x, kGridHeight, kGridHalfSize);
        glVertex3f(-kGridHalfSize, kGridHeight, x);
        glVertex3f(kGridHalfSize, kGridHeight, x);
    }
    glEnd();
    glEnable(GL_LIGHTING);
}

void UrdfViewerWidget::drawAxes(float length)
{
    glDisable(GL_LIGHTING);
    glLineWidth(2.0f);
    glBegin(GL_LINES);
    glColor3f(1.0f, 0.2f, 0.2f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(length, 0.0f, 0.0f);
    glColor3f(0.2f, 1.0f, 0.2f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, length, 0.0f);
    glColor3f(0.2f, 0.5f, 1.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.0f, length);
    glEnd();
    glLineWidth(1.0f);
    glEnable(GL_LIGHTING);
}

void UrdfViewerWidget::drawBox(float sx, float sy, float sz, float r, float g, float b)
{
    const float x = sx / 2.0f;
    const float y = sy / 2.0f;
    const float z = sz / 2.0f;
    if (m_stale) {
        // Washed out towards grey: the shape stays readable, the colours
        // that mean "live" do not.
        const float grey = (r + g + b) / 3.0f;
        r = 0.15f + 0.35f * grey;
        g = r;
        b = r + 0.03f;
    }
    glColor3f(r, g, b);
    // Each face counter-clockwise seen from outside, with its outward normal.
    glBegin(GL_QUADS);
    glNormal3f(0.0f, 0.0f, 1.0f);
    glVertex3f(-x, -y, z);
    glVertex3f(x, -y, z);
    glVertex3f(x, y, z);
    glVertex3f(-x, y, z);

    glNormal3f(0.0f, 0.0f, -1.0f);
    glVertex3f(-x, -y, -z);
    glVertex3f(-x, y, -z);
    glVertex3f(x, y, -z);
    glVertex3f(x, -y, -z);

    glNormal3f(0.0f, 1.0f, 0.0f);
    glVertex3f(-x, y, -z);
    glVertex3f(-x, y, z);
    glVertex3f(x, y, z);
    glVertex3f(x, y, -z);

    glNormal3f(0.0f, -1.0f, 0.0f);
    glVertex3f(-x, -y, -z);
    glVertex3f(x, -y, -z);
    glVertex3f(x, -y, z);
    glVertex3f(-x, -y, z);

    glNormal3f(1.0f, 0.0f, 0.0f);
    glVertex3f(x, -y, -z);
    glVertex3f(x, y, -z);
    glVertex3f(x, y, z);
    glVertex3f(x, -y, z);

    glNormal3f(-1.0f, 0.0f, 0.0f);
    glVertex3f(-x, -y, -z);
    glVertex3f(-x, -y, z);
    glVertex3f(-x, y, z);
    glVertex3f(-x, y, -z);
    glEnd();
}

void UrdfViewerWidget::boxAt(float sx, float sy, float sz, float x, float y, float z,
                             const float (&colour)[3])
{
    glPushMatrix();
    glTranslatef(x, y, z);
    drawBox(sx, sy, sz, colour[0], colour[1], colour[2]);
    glPopMatrix();
}

void UrdfViewerWidget::joint(float x, float y, float z, Axis axis, int channel)
{
    glTranslatef(x, y, z);
    const double degrees = toDegrees(m_jointAngles[channel]);
    switch (axis) {
    case Axis::X:
        glRotated(degrees, 1.0, 0.0, 0.0);
        break;
    case Axis::Y:
        glRotated(degrees, 0.0, 1.0, 0.0);
        break;
    case Axis::Z:
        glRotated(degrees, 0.0, 0.0, 1.0);
        break;
    }
}

void UrdfViewerWidget::drawBaseLink()
{
    boxAt(0.055f, 0.076f, 0.08f, 0.0f, 0.0f, 0.0f, kArmorRed);
    boxAt(0.004f, 0.052f, 0.046f, 0.029f, 0.0f, 0.008f, kChestGold);
    boxAt(0.003f, 0.02f, 0.02f, 0.032f, 0.0f, 0.012f, kReactorCyan);
}

void UrdfViewerWidget::drawHead()
{
    joint(0.0f, 0.0f, 0.046f, Axis::Z, ServoChannel::HeadYaw);
    boxAt(0.038f, 0.04f, 0.036f, 0.0f, 0.0f, 0.02f, kArmorRed);
    boxAt(0.003f, 0.024f, 0.024f, 0.02f, 0.0f, 0.022f, kChestGold);
    boxAt(0.002f, 0.016f, 0.016f, 0.022f, 0.0f, 0.022f, kLensDark);
}

void UrdfViewerWidget::drawArm(float side, int shoulderPitch, int shoulderRoll, int elbow)
{
    joint(0.0f, side * 0.048f, 0.028f, Axis::Y, shoulderPitch);
    boxAt(0.024f, 0.018f, 0.024f, 0.0f, side * 0.008f, 0.0f, kServoBlack);
    joint(0.0f, side * 0.018f, 0.0f, Axis::X, shoulderRoll);
    boxAt(0.024f, 0.024f, 0.044f, 0.0f, 0.0f, -0.022f, kArmorRed);
    joint(0.0f, 0.0f, -0.044f, Axis::X, elbow);
    boxAt(0.022f, 0.022f, 0.044f, 0.0f, 0.0f, -0.022f, kArmorRed);
    boxAt(0.016f, 0.02f, 0.014f, 0.0f, 0.0f, -0.048f, kServoBlack);
}

void UrdfViewerWidget::drawLeg(float side, int hipRoll, int hipPitch, int knee, int anklePitch,
                               int ankleRoll)
{
    joint(0.0f, side * 0.028f, -0.042f, Axis::X, hipRoll);
    boxAt(0.028f, 0.026f, 0.02f, 0.0f, 0.0f, -0.009f, kServoBlack);
    joint(0.0f, 0.0f, -0.018f, Axis::Y, hipPitch);
    boxAt(0.026f, 0.028f, 0.048f, 0.0f, 0.0f, -0.024f, kServoBlack);
    joint(0.0f, 0.0f, -0.048f, Axis::Y, knee);
    boxAt(0.026f, 0.028f, 0.048f, 0.0f, 0.0f, -0.024f, kArmorRed);
    joint(0.0f, 0.0f, -0.048f, Axis::Y, anklePitch);
    boxAt(0.028f, 0.026f, 0.018f, 0.0f, 0.0f, -0.008f, kServoBlack);
    joint(0.0f, 0.0f, -0.016f, Axis::X, ankleRoll);
    boxAt(0.076f, 0.048f, 0.008f, 0.01f, 0.0f, -0.004f, kArmorRed);
}

void UrdfViewerWidget::drawLeftArm()
{
    using namespace ServoChannel;
    drawArm(1.0f, LeftShoulderPitch, LeftShoulderRoll, LeftElbow);
}

void UrdfViewerWidget::drawRightArm()
{
    using namespace ServoChannel;
    drawArm(-1.0f, RightShoulderPitch, RightShoulderRoll, RightElbow);
}

void UrdfViewerWidget::drawLeftLeg()
{
    using namespace ServoChannel;
    drawLeg(1.0f, LeftHipRoll, LeftHipPitch, LeftKneePitch, LeftAnklePitch, LeftAnkleRoll);
}

void UrdfViewerWidget::drawRightLeg()
{
    using namespace ServoChannel;
    drawLeg(-1.0f, RightHipRoll, RightHipPitch, RightKneePitch, RightAnklePitch, RightAnkleRoll);
}

void UrdfViewerWidget::drawRobot()
{
    glPushMatrix();
    glMultMatrixf(kRobotToScreen);
    using Part = void (UrdfViewerWidget::*)();
    for (Part part : {&UrdfViewerWidget::drawBaseLink, &UrdfViewerWidget::drawHead,
                      &UrdfViewerWidget::drawLeftArm, &UrdfViewerWidget::drawRightArm,
                      &UrdfViewerWidget::drawLeftLeg, &UrdfViewerWidget::drawRightLeg}) {
        glPushMatrix();
        (this->*part)();
        glPopMatrix();
    }
    glPopMatrix();
}
