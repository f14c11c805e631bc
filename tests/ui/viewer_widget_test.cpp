// The viewer drawn for real under X (Mesa's software renderer under Xvfb),
// read back with grabFramebuffer and compared with the robot's geometry
// projected independently with QMatrix4x4.
#include "ui/urdf_viewer_widget.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMatrix4x4>
#include <QMouseEvent>
#include <QRect>
#include <QTest>
#include <QVector3D>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// Pixels that rasterisation may add or drop at the silhouette of a box.
constexpr int kEdgeTolerancePx = 3;

QString artifactPath(const QString& name)
{
    QString folder = qEnvironmentVariable("KESTRO_TEST_ARTIFACTS");
    if (folder.isEmpty()) {
        folder = QStringLiteral(KESTRO_BINARY_DIR);
    }
    QDir().mkpath(folder);
    return QDir(folder).filePath(name);
}

bool isArmorRed(QRgb pixel)
{
    return qRed(pixel) > 50 && qRed(pixel) > 2 * qGreen(pixel) && qRed(pixel) > 2 * qBlue(pixel);
}

bool isNear(QRgb pixel, int r, int g, int b, int tolerance)
{
    return std::abs(qRed(pixel) - r) <= tolerance && std::abs(qGreen(pixel) - g) <= tolerance
        && std::abs(qBlue(pixel) - b) <= tolerance;
}

int countPixels(const QImage& image, const std::function<bool(QRgb)>& match)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += match(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return count;
}

QRect boundingRect(const QImage& image, const std::function<bool(QRgb)>& match)
{
    QRect rect;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (match(image.pixel(x, y))) {
                rect = rect.united(QRect(x, y, 1, 1));
            }
        }
    }
    return rect;
}

// Pixels that differ between two frames of the same size, and how many.
QRect differenceRect(const QImage& a, const QImage& b, int* changed)
{
    QRect rect;
    *changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) {
                rect = rect.united(QRect(x, y, 1, 1));
                ++*changed;
            }
        }
    }
    return rect;
}

// The robot's boxes as the robot frame sees them, and where a point of the
// robot lands on the screen for the default camera.
class SceneProjection
{
public:
    explicit SceneProjection(double fovDeg = 45.0)
    {
        m_projection.perspective(float(fovDeg), float(kWidth) / float(kHeight), 0.05f, 10.0f);
        m_view.translate(0.0f, 0.02f, -0.45f);
        m_view.rotate(15.0f, 1.0f, 0.0f, 0.0f);
        m_view.rotate(20.0f, 0.0f, 1.0f, 0.0f);
        // Robot x forward, y left, z up onto screen z, x, y (row-major here).
        m_view *= QMatrix4x4(0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1);
    }

    QPointF toPixel(const QMatrix4x4& robotFrame, const QVector3D& point) const
    {
        const QVector3D ndc = (m_projection * m_view * robotFrame).map(point);
        return QPointF((ndc.x() + 1.0) / 2.0 * kWidth, (1.0 - ndc.y()) / 2.0 * kHeight);
    }

    // Screen rectangle covered by a box of size s centred at c in a frame.
    QRectF boxRect(const QMatrix4x4& frame, const QVector3D& size, const QVector3D& centre) const
    {
        double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
        for (int corner = 0; corner < 8; ++corner) {
            const QVector3D offset((corner & 1 ? 0.5f : -0.5f) * size.x(),
                                   (corner & 2 ? 0.5f : -0.5f) * size.y(),
                                   (corner & 4 ? 0.5f : -0.5f) * size.z());
            const QPointF p = toPixel(frame, centre + offset);
            minX = std::min(minX, p.x());
            maxX = std::max(maxX, p.x());
            minY = std::min(minY, p.y());
            maxY = std::max(maxY, p.y());
        }
        return QRectF(QPointF(minX, minY), QPointF(maxX, maxY));
    }

private:
    QMatrix4x4 m_projection;
    QMatrix4x4 m_view;
};

QMatrix4x4 jointFrame(QMatrix4x4 frame, const QVector3D& offset, const QVector3D& axis, double angle)
{
    frame.translate(offset);
    frame.rotate(float(angle * 180.0 / M_PI), axis);
    return frame;
}

// The screen area of the head and its face plate at a given yaw.
QRectF headRect(const SceneProjection& scene, double yaw)
{
    const QMatrix4x4 head = jointFrame(QMatrix4x4(), {0, 0, 0.046f}, {0, 0, 1}, yaw);
    return scene.boxRect(head, {0.038f, 0.04f, 0.036f}, {0, 0, 0.02f})
        | scene.boxRect(head, {0.003f, 0.024f, 0.024f}, {0.02f, 0, 0.022f});
}

// The screen area of the whole left arm at a given shoulder pitch.
QRectF leftArmRect(const SceneProjection& scene, double shoulderPitch)
{
    const QMatrix4x4 shoulder = jointFrame(QMatrix4x4(), {0, 0.048f, 0.028f}, {0, 1, 0}, shoulderPitch);
    QRectF rect = scene.boxRect(shoulder, {0.024f, 0.018f, 0.024f}, {0, 0.008f, 0});
    const QMatrix4x4 upper = jointFrame(shoulder, {0, 0.018f, 0}, {1, 0, 0}, 0.0);
    rect |= scene.boxRect(upper, {0.024f, 0.024f, 0.044f}, {0, 0, -0.022f});
    const QMatrix4x4 fore = jointFrame(upper, {0, 0, -0.044f}, {1, 0, 0}, 0.0);
    rect |= scene.boxRect(fore, {0.022f, 0.022f, 0.044f}, {0, 0, -0.022f});
    rect |= scene.boxRect(fore, {0.016f, 0.02f, 0.014f}, {0, 0, -0.048f});
    return rect;
}

QRect grown(const QRectF& rect)
{
    return rect.toAlignedRect().adjusted(-kEdgeTolerancePx, -kEdgeTolerancePx, kEdgeTolerancePx,
                                         kEdgeTolerancePx);
}

class ViewerWidgetTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_viewer = std::make_unique<UrdfViewerWidget>();
        m_viewer->resize(kWidth, kHeight);
        m_viewer->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_viewer.get(), 10000));
    }

    QImage render(const QString& artifactName = QString())
    {
        QImage frame = m_viewer->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(frame.size(), QSize(kWidth, kHeight));
        if (!artifactName.isEmpty()) {
            frame.save(artifactPath(artifactName));
        }
        return frame;
    }

    void mouse(QEvent::Type type, const QPointF& position, Qt::MouseButton button,
               Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, position, m_viewer->mapToGlobal(position), button, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(m_viewer.get(), &event);
    }

    void drag(Qt::MouseButton button, const std::vector<QPointF>& path)
    {
        mouse(QEvent::MouseButtonPress, path.front(), button, button);
        for (size_t i = 1; i < path.size(); ++i) {
            mouse(QEvent::MouseMove, path[i], Qt::NoButton, button);
        }
        mouse(QEvent::MouseButtonRelease, path.back(), button, Qt::NoButton);
    }

    void wheel(int angleDeltaY)
    {
        const QPointF centre(kWidth / 2.0, kHeight / 2.0);
        QWheelEvent event(centre, m_viewer->mapToGlobal(centre), QPoint(), QPoint(0, angleDeltaY),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(m_viewer.get(), &event);
    }

    std::unique_ptr<UrdfViewerWidget> m_viewer;
};

// A fresh viewer: zero pose, distance 0.45, yaw 20, pitch 15, grid and axes.
TEST_F(ViewerWidgetTest, DrawsTheRobotInItsZeroPose)
{
    const QImage frame = render(QStringLiteral("viewer_zero_pose.png"));
    const SceneProjection scene;

    // The clear colour (0.039, 0.059, 0.114) above the grid's far edge.
    EXPECT_TRUE(isNear(frame.pixel(2, 2), 10, 15, 29, 2)) << std::hex << frame.pixel(2, 2);
    EXPECT_TRUE(isNear(frame.pixel(kWidth - 3, 2), 10, 15, 29, 2));

    // The red armour spans from the top of the head to the soles.
    const QRect red = boundingRect(frame, isArmorRed);
    ASSERT_FALSE(red.isEmpty()) << "no armour-red pixels: the robot was not drawn";
    EXPECT_GT(countPixels(frame, isArmorRed), 5000);
    const QRectF head = headRect(scene, 0.0);
    double soleBottom = 0;
    for (double side : {1.0, -1.0}) {
        const QRectF foot = scene.boxRect(QMatrix4x4(), {0.076f, 0.048f, 0.008f},
                                          {0.01f, float(side * 0.028), -0.176f});
        soleBottom = std::max(soleBottom, foot.bottom());
    }
    EXPECT_NEAR(red.top(), head.top(), kEdgeTolerancePx);
    EXPECT_NEAR(red.bottom(), soleBottom, kEdgeTolerancePx);

    // Details in their colours: the cyan reactor and the gold plate on the
    // chest, the dark lens on the face.
    struct Sample {
        const char* what;
        QVector3D point;
        std::function<bool(QRgb)> looksRight;
    };
    const Sample samples[] = {
        {"reactor", {0.0335f, 0, 0.012f},
         [](QRgb p) { return qBlue(p) > 150 && qGreen(p) > 120 && qRed(p) < 100; }},
        {"chest plate", {0.031f, 0.02f, -0.008f},
         [](QRgb p) { return qRed(p) > qBlue(p) + 40 && qGreen(p) > qBlue(p); }},
        {"lens", {0.023f, 0, 0.068f},
         [](QRgb p) { return qRed(p) < 60 && qGreen(p) < 60 && qBlue(p) < 60; }},
    };
    for (const Sample& sample : samples) {
        const QPoint at = scene.toPixel(QMatrix4x4(), sample.point).toPoint();
        EXPECT_TRUE(sample.looksRight(frame.pixel(at)))
            << sample.what << " at " << at.x() << "," << at.y() << " is #" << std::hex
            << frame.pixel(at);
    }
}

TEST_F(ViewerWidgetTest, OneChangedJointRedrawsOnlyItsOwnPart)
{
    struct Case {
        const char* name;
        int channel;
        double angle;
        std::function<QRectF(const SceneProjection&, double)> partRect;
    };
    const Case cases[] = {
        {"head_turned", ServoChannel::HeadYaw, 0.8, headRect},
        // Negative pitch about the shoulder's y axis swings the arm forward.
        {"left_arm_forward", ServoChannel::LeftShoulderPitch, -1.4, leftArmRect},
    };
    const SceneProjection scene;
    const QImage zeroPose = render();
    for (const Case& c : cases) {
        std::array<double, 17> angles{};
        angles[c.channel] = c.angle;
        m_viewer->setJointAngles(angles);
        const QImage posed = render(QStringLiteral("viewer_%1.png").arg(c.name));

        int changed = 0;
        const QRect difference = differenceRect(zeroPose, posed, &changed);
        EXPECT_GT(changed, 200) << c.name;
        const QRect expected = grown(c.partRect(scene, 0.0) | c.partRect(scene, c.angle));
        EXPECT_TRUE(expected.contains(difference))
            << c.name << ": changes in " << difference.x() << "," << difference.y() << " "
            << difference.width() << "x" << difference.height() << ", expected within "
            << expected.x() << "," << expected.y() << " " << expected.width() << "x"
            << expected.height();

        m_viewer->setJointAngles({});
        EXPECT_EQ(render(), zeroPose) << c.name << ": the zero pose did not come back";
    }
}

TEST_F(ViewerWidgetTest, NonFiniteAnglesKeepTheJointWhereItWas)
{
    std::array<double, 17> angles{};
    angles[ServoChannel::LeftElbow] = 0.3;
    m_viewer->setJointAngles(angles);

    angles[ServoChannel::LeftElbow] = std::numeric_limits<double>::quiet_NaN();
    angles[ServoChannel::RightElbow] = std::numeric_limits<double>::infinity();
    angles[ServoChannel::HeadYaw] = -0.5;
    m_viewer->setJointAngles(angles);
    EXPECT_EQ(m_viewer->jointAngles()[ServoChannel::LeftElbow], 0.3);
    EXPECT_EQ(m_viewer->jointAngles()[ServoChannel::RightElbow], 0.0);
    EXPECT_EQ(m_viewer->jointAngles()[ServoChannel::HeadYaw], -0.5);
}

// Telemetry repeats a resting robot's pose many times a second; with
// software OpenGL every needless frame costs the camera thread its CPU.
TEST_F(ViewerWidgetTest, DrawsANewFrameOnlyWhenThePoseOrTheCameraChanges)
{
    // Every test window shares one X display: a window of another test that
    // opens or closes over this one makes the window system repaint it, which
    // is not the view's doing. Only the frames the view asked for count.
    const auto settle = [] { QTest::qWait(150); };
    const auto waitFor = [](const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 5000) {
            QTest::qWait(10);
        }
    };
    waitFor([&] { return m_viewer->framesShown() > 0; });
    ASSERT_GT(m_viewer->framesShown(), 0) << "the exposed view was never drawn";
    settle();

    std::array<double, 17> angles{};
    angles[ServoChannel::HeadYaw] = 0.4;
    struct Step {
        const char* what;
        std::function<void()> act;
        bool draws;
    };
    const Step steps[] = {
        {"the same pose again", [&] { m_viewer->setJointAngles({}); }, false},
        {"PWM values", [&] { m_viewer->setJointPwm({}); }, false},
        {"a turned head", [&] { m_viewer->setJointAngles(angles); }, true},
        {"the turned head again", [&] { m_viewer->setJointAngles(angles); }, false},
        {"a zoom step", [&] { wheel(120); }, true},
    };
    for (const Step& step : steps) {
        const int before = m_viewer->framesRequested();
        for (int repeat = 0; repeat < 10; ++repeat) {
            step.act();
        }
        if (step.draws) {
            waitFor([&] { return m_viewer->framesRequested() > before; });
        }
        settle();
        // Ten requests before the next frame make one frame.
        EXPECT_EQ(m_viewer->framesRequested() - before, step.draws ? 1 : 0) << step.what;
    }
}

TEST_F(ViewerWidgetTest, PwmValuesAreStoredAndDoNotMoveTheRobot)
{
    const QImage before = render();
    std::array<int, 17> pwm{};
    pwm.fill(2100);
    m_viewer->setJointPwm(pwm);
    EXPECT_EQ(m_viewer->jointPwm(), pwm);
    EXPECT_EQ(render(), before);
}

TEST_F(ViewerWidgetTest, GridAndAxesFollowTheViewerConfig)
{
    // The grid's centre lines (0.024, 0.714, 0.831) at alpha 0.85 over the
    // background, and the green vertical axis.
    const auto gridCentreLine = [](QRgb p) { return isNear(p, 6, 157, 184, 12); };
    const auto greenAxis = [](QRgb p) { return qGreen(p) > 200 && qRed(p) < 100 && qBlue(p) < 100; };

    const QImage both = render();
    EXPECT_GT(countPixels(both, gridCentreLine), 100);
    EXPECT_GT(countPixels(both, greenAxis), 20);

    m_viewer->setViewerConfig(false, true, true, "boxes", 45.0);
    const QImage axesOnly = render(QStringLiteral("viewer_no_grid.png"));
    EXPECT_EQ(countPixels(axesOnly, gridCentreLine), 0);
    EXPECT_GT(countPixels(axesOnly, greenAxis), 20);
    EXPECT_TRUE(m_viewer->showMeshes());

    m_viewer->setViewerConfig(true, false, false, "boxes", 45.0);
    const QImage gridOnly = render();
    EXPECT_GT(countPixels(gridOnly, gridCentreLine), 100);
    EXPECT_EQ(countPixels(gridOnly, greenAxis), 0);
}

TEST_F(ViewerWidgetTest, NewFieldOfViewAppliesWithoutAResize)
{
    const int heightAt45 = boundingRect(render(), isArmorRed).height();
    m_viewer->setViewerConfig(true, true, false, "boxes", 90.0);
    const int heightAt90 = boundingRect(render(QStringLiteral("viewer_fov90.png")), isArmorRed).height();
    // tan(22.5 deg) / tan(45 deg) = 0.41
    EXPECT_LT(heightAt90, heightAt45 * 0.5);
    EXPECT_GT(heightAt90, heightAt45 * 0.3);

    struct Case {
        double requested;
        double kept;
    };
    const Case cases[] = {
        {0.0, 1.0},
        {180.0, 179.0},
        {-30.0, 1.0},
        {60.0, 60.0},
        {std::numeric_limits<double>::quiet_NaN(), 60.0},
    };
    for (const Case& c : cases) {
        m_viewer->setViewerConfig(true, true, false, "boxes", c.requested);
        EXPECT_EQ(m_viewer->fovDeg(), c.kept) << c.requested;
    }
    // A degenerate request still leaves a drawable view.
    m_viewer->setViewerConfig(true, true, false, "boxes", 0.0);
    EXPECT_GT(countPixels(render(), [](QRgb p) { return !isNear(p, 10, 15, 29, 2); }), 0);
}

TEST_F(ViewerWidgetTest, LeftDragOrbitsAndClampsThePitch)
{
    drag(Qt::LeftButton, {{200, 100}, {200, 400}});
    EXPECT_FLOAT_EQ(m_viewer->pitchDeg(), 89.0f);
    EXPECT_FLOAT_EQ(m_viewer->yawDeg(), 20.0f);
    drag(Qt::LeftButton, {{200, 400}, {200, 390}});
    EXPECT_FLOAT_EQ(m_viewer->pitchDeg(), 84.0f);

    // Fractional positions round halves away from zero: 40.5 - 0 is 41.
    drag(Qt::LeftButton, {{0, 0}, {10.4, 0}, {40.5, 0}});
    EXPECT_FLOAT_EQ(m_viewer->yawDeg(), 20.0f + 0.5f * 41.0f);
    EXPECT_FLOAT_EQ(m_viewer->panX(), 0.0f);

    const QImage topDown = render(QStringLiteral("viewer_orbit.png"));
    m_viewer->resetCamera();
    EXPECT_FLOAT_EQ(m_viewer->pitchDeg(), 15.0f);
    EXPECT_FLOAT_EQ(m_viewer->yawDeg(), 20.0f);
    EXPECT_NE(render(), topDown);
}

TEST_F(ViewerWidgetTest, RightAndMiddleDragPan)
{
    drag(Qt::RightButton, {{100, 100}, {200, 100}});
    EXPECT_NEAR(m_viewer->panX(), 0.045f, 1e-6);
    EXPECT_NEAR(m_viewer->panY(), 0.02f, 1e-7);
    drag(Qt::MiddleButton, {{100, 100}, {100, 200}});
    EXPECT_NEAR(m_viewer->panY(), 0.02f - 0.045f, 1e-6);
    EXPECT_FLOAT_EQ(m_viewer->pitchDeg(), 15.0f);
    EXPECT_FLOAT_EQ(m_viewer->yawDeg(), 20.0f);

    // A move with no button held changes nothing but the remembered position:
    // the next drag starts from its own press.
    mouse(QEvent::MouseMove, {500, 400}, Qt::NoButton, Qt::NoButton);
    EXPECT_NEAR(m_viewer->panX(), 0.045f, 1e-6);
    m_viewer->resetCamera();
    EXPECT_FLOAT_EQ(m_viewer->panX(), 0.0f);
    EXPECT_FLOAT_EQ(m_viewer->panY(), 0.02f);
}

TEST_F(ViewerWidgetTest, WheelZoomsWithinLimits)
{
    const QImage start = render();
    const int nearHeight = boundingRect(start, isArmorRed).height();
    for (int step = 0; step < 10; ++step) {
        wheel(-120);
    }
    EXPECT_NEAR(m_viewer->distance(), 0.95f, 1e-6);
    const QImage far = render(QStringLiteral("viewer_zoomed_out.png"));
    // Roughly 0.45 / 0.95 of the size at the default distance.
    EXPECT_LT(boundingRect(far, isArmorRed).height(), nearHeight * 0.6);

    for (int step = 0; step < 40; ++step) {
        wheel(120);
    }
    EXPECT_FLOAT_EQ(m_viewer->distance(), 0.1f);
    render(QStringLiteral("viewer_closest.png"));
    for (int step = 0; step < 80; ++step) {
        wheel(-120);
    }
    EXPECT_FLOAT_EQ(m_viewer->distance(), 3.0f);

    // A left double-click brings back the start view from anywhere.
    drag(Qt::RightButton, {{100, 100}, {160, 130}});
    drag(Qt::LeftButton, {{100, 100}, {180, 20}});
    mouse(QEvent::MouseButtonDblClick, {200, 150}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_FLOAT_EQ(m_viewer->distance(), 0.45f);
    EXPECT_FLOAT_EQ(m_viewer->yawDeg(), 20.0f);
    EXPECT_FLOAT_EQ(m_viewer->pitchDeg(), 15.0f);
    EXPECT_FLOAT_EQ(m_viewer->panX(), 0.0f);
    EXPECT_FLOAT_EQ(m_viewer->panY(), 0.02f);
    EXPECT_EQ(render(), start);
}

} // namespace
