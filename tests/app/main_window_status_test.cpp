// What the window says about the stream, the robot, the link and the
// emergency stop, against a real broker and the robot simulator; each state
// is also saved as a picture under the artefact folder for a human to look at.
#include "app/main_window.h"
#include "app/stream_state.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/robot_frame.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <gtest/gtest.h>

#include <memory>

using kestro_app_test::processEventsFor;
using kestro_app_test::processEventsUntil;
using kestro_app_test::WireRecorder;
using namespace std::chrono_literals;

namespace {

const char* const kRobotId = "trusted";
constexpr int kWatchdogMs = 400;

// The whole window as the X server shows it, the 3D view's own native
// window included.
void saveShot(MainWindow& window, const char* name)
{
    processEventsFor(100ms);
    const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
    const QString path = QString::fromStdString(kestro_app_test::artifactFolder()) + QStringLiteral("/status_%1.png").arg(name);
    EXPECT_TRUE(!shot.isNull() && shot.save(path)) << path.toStdString();
}

bool matches(const QLabel* label, const char* pattern)
{
    return QRegularExpression(QString::fromLatin1(pattern)).match(label->text()).hasMatch();
}

QAction* robotMenuEntry(MainWindow& window, const QString& text)
{
    for (QAction* menu : window.menuBar()->actions())
        for (QAction* action : menu->menu() ? menu->menu()->actions() : QList<QAction*>{})
            if (action->text() == text)
                return action;
    return nullptr;
}

bool reportedCellsDimmed(const MainWindow& window)
{
    const QTableWidgetItem* item = window.telemetryTable()->item(4, 3);
    return item && item->foreground().style() != Qt::NoBrush;
}

std::unique_ptr<MainWindow> windowOn(const std::string& host, int port, bool autoConnect)
{
    return kestro_app_test::openWindow(host, port, [autoConnect](TeleopConfig& config) {
        config.mqtt.robotId = kRobotId;
        config.mqtt.autoConnect = autoConnect;
        config.safety.watchdogTimeoutMs = kWatchdogMs;
    });
}

class WindowStatus : public kestro_app_test::WindowOnBroker
{
protected:
    void SetUp() override
    {
        start(kRobotId, [](TeleopConfig& config) { config.safety.watchdogTimeoutMs = kWatchdogMs; });
    }
};

} // namespace

TEST(StreamState, SaysWhatTheLoopDoes)
{
    const struct {
        StreamInputs in;
        StreamState state;
    } cases[] = {
        {{false, false, true, true, true, 10, 500, 30}, StreamState::Standby},
        {{true, false, true, true, true, 10, 500, 30}, StreamState::Sending},
        {{true, false, true, false, true, 10, 500, 0}, StreamState::WaitingForPerson},
        {{true, false, true, true, false, 0, 500, 0}, StreamState::WaitingForPerson},
        {{true, false, true, true, true, 501, 500, 0}, StreamState::PoseStale},
        {{true, false, false, true, true, 10, 500, 0}, StreamState::BrokerNotConnected},
        // After a delivered stop nothing moves the robot, streaming or not.
        {{true, true, true, true, true, 10, 500, 30}, StreamState::RobotStopped},
        {{false, true, false, false, false, 0, 500, 0}, StreamState::RobotStopped},
    };
    for (const auto& c : cases)
        EXPECT_EQ(streamState(c.in), c.state) << streamStateText(c.state, c.in).toStdString();
}

TEST_F(WindowStatus, RobotBadgeAndStaleMarksFollowTheTelemetry)
{
    ASSERT_TRUE(processEventsUntil([&] { return matches(m_window->robotBadge(), "^Robot: trusted online \\(\\d+ Hz\\)$"); }))
        << m_window->robotBadge()->text().toStdString();
    EXPECT_FALSE(m_window->viewer()->showsStalePose());
    EXPECT_FALSE(reportedCellsDimmed(*m_window));
    EXPECT_FALSE(m_window->telemetryAgeLabel()->isVisible());
    saveShot(*m_window, "robot_online");

    m_robot.reset(); // the robot goes quiet
    ASSERT_TRUE(processEventsUntil([&] { return matches(m_window->robotBadge(), "^Robot: trusted silent for [1-9]\\d* s$"); }))
        << m_window->robotBadge()->text().toStdString();
    EXPECT_TRUE(m_window->viewer()->showsStalePose());
    EXPECT_TRUE(reportedCellsDimmed(*m_window));
    EXPECT_TRUE(m_window->telemetryAgeLabel()->isVisible());
    EXPECT_TRUE(matches(m_window->telemetryAgeLabel(), "^STALE: last telemetry \\d+\\.\\d s ago\\.$"));
    saveShot(*m_window, "robot_silent");
}

TEST_F(WindowStatus, StreamLineSaysWhatIsActuallySent)
{
    QLabel* line = m_window->streamStateLabel();
    EXPECT_EQ(line->text(), QStringLiteral("Standby: no motion is sent."));
    kestro_app_test::setTeleop(*m_window, true);
    double phase = 0.0;
    kestro_app_test::feedPoses(*m_window, phase, 600ms, true);
    EXPECT_TRUE(matches(line, "^Sending: [1-9]\\d* frames/s, pose \\d+ ms old$")) << line->text().toStdString();
    saveShot(*m_window, "sending");

    // Nobody in view: the button still says STREAMING, the line does not.
    QImage empty(64, 48, QImage::Format_RGB888);
    empty.fill(Qt::black);
    m_window->onFrameReady(empty, PoseEstimator::PersonPose{});
    processEventsFor(700ms);
    const std::size_t quiet = m_wire.count();
    EXPECT_EQ(m_window->teleopButton()->text(), QStringLiteral("Teleoperation: ACTIVE (STREAMING)"));
    EXPECT_EQ(line->text(), QStringLiteral("Waiting for a person in view: nothing is sent."));
    saveShot(*m_window, "waiting");
    processEventsFor(500ms);
    EXPECT_EQ(m_wire.count(), quiet);

    // A person, then no new pose: the watchdog holds the stream.
    kestro_app_test::feedPoses(*m_window, phase, 100ms, true);
    processEventsFor(std::chrono::milliseconds(kWatchdogMs + 400));
    EXPECT_TRUE(matches(line, "^Pose stale \\(\\d+\\.\\d s old, watchdog 400 ms\\): nothing is sent\\.$"))
        << line->text().toStdString();
}

TEST_F(WindowStatus, StopFromInsideTheSettingsDialogLatchesUntilCenter)
{
    QPushButton* stop = m_window->stopButton();
    QPushButton* toggle = m_window->teleopButton();
    auto* toolBar = m_window->findChild<QToolBar*>();
    const auto stopPlace = [&] { return stop->mapTo(m_window.get(), QPoint(0, 0)); };
    const QPoint before = stopPlace();

    // Clicked with the mouse, the toggle takes no focus: a later Space must
    // not switch it back or on.
    QTest::mouseClick(toggle, Qt::LeftButton);
    ASSERT_TRUE(m_window->isTeleopActive());
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : m_window.get(), Qt::Key_Space);
    EXPECT_TRUE(m_window->isTeleopActive());
    processEventsFor(300ms);
    // The stop has not moved, and it is the largest control of the bar.
    EXPECT_EQ(stopPlace(), before);
    for (QWidget* control : toolBar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (control != stop && control->isVisible() && qobject_cast<QPushButton*>(control)) {
            EXPECT_GT(stop->width() * stop->height(), control->width() * control->height())
                << qobject_cast<QPushButton*>(control)->text().toStdString();
        }
    }
    EXPECT_TRUE(stop->toolTip().contains(QStringLiteral("F12")));

    // The settings dialog is modal; the key still stops the robot.
    bool pressedInDialog = false;
    QTimer::singleShot(300, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        QTest::keyClick(dialog, Qt::Key_F12);
        pressedInDialog = true;
        QTimer::singleShot(0, dialog, [dialog] { dialog->close(); });
    });
    m_window->onSettingsClicked();
    ASSERT_TRUE(pressedInDialog);
    ASSERT_TRUE(lastFrameIs(robot_frame::kStop));
    EXPECT_FALSE(m_window->isTeleopActive());
    EXPECT_TRUE(m_window->isRobotStopped());
    EXPECT_EQ(m_window->streamStateLabel()->text(), QStringLiteral("Robot STOPPED: press Center to re-arm."));
    saveShot(*m_window, "stopped");

    // No re-arming until Center, neither by the button nor by its slot.
    EXPECT_FALSE(toggle->isEnabled());
    toggle->setChecked(true);
    m_window->onTeleopToggleClicked();
    EXPECT_FALSE(m_window->isTeleopActive());
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(stopPlace(), before);

    m_window->onCenterClicked();
    ASSERT_TRUE(lastFrameIs(robot_frame::kCenter));
    EXPECT_FALSE(m_window->isRobotStopped());
    kestro_app_test::setTeleop(*m_window, true);
    processEventsFor(400ms);
    EXPECT_EQ(m_window->streamStateLabel()->text(), QStringLiteral("Waiting for a person in view: nothing is sent."));
}

TEST(WindowStatusWithoutBroker, UndeliveredStopRaisesAnAlarmThatOnlyTheOperatorDismisses)
{
    const int closedPort = kestro_test::findFreeLoopbackPort();
    auto window = windowOn("127.0.0.1", closedPort, false);
    EXPECT_EQ(window->robotBadge()->text(), QStringLiteral("Robot: trusted no telemetry yet"));
    EXPECT_TRUE(window->viewer()->showsStalePose());
    EXPECT_FALSE(window->stopAlarmBar()->isVisible());

    QTest::keyClick(window.get(), Qt::Key_F12);
    ASSERT_TRUE(window->stopAlarmBar()->isVisible());
    EXPECT_FALSE(window->isRobotStopped()); // nothing reached a robot
    EXPECT_TRUE(window->stopAlarmBar()->findChild<QLabel*>()->text().startsWith(
        QStringLiteral("EMERGENCY STOP NOT DELIVERED (MQTT not connected)")));

    // Connecting by hand ends with a result in words, and retries cover
    // nothing: the alarm stays.
    robotMenuEntry(*window, QStringLiteral("C&onnect"))->trigger();
    const QString refused =
QStringLiteral("MQTT: Not connected (connection refused by 127.0.0.1:%1)").arg(closedPort);
    ASSERT_TRUE(processEventsUntil([&] { return window->mqttStatusLabel()->text() == refused; }))
        << window->mqttStatusLabel()->text().toStdString();
    EXPECT_TRUE(window->mqttStatusLabel()->toolTip().contains(QStringLiteral("is the broker running")));
    processEventsFor(1500ms);
    EXPECT_TRUE(window->stopAlarmBar()->isVisible());
    saveShot(*window, "alarm");

    robotMenuEntry(*window, QStringLiteral("&Disconnect"))->trigger();
    EXPECT_EQ(window->mqttStatusLabel()->text(), QStringLiteral("MQTT: Disconnected"));
    window->stopAlarmBar()->findChild<QPushButton*>()->click();
    EXPECT_FALSE(window->stopAlarmBar()->isVisible());

    // A port that cannot exist: no endless "Connecting...".
    TeleopConfig::instance()->mqtt.port = 70000;
    robotMenuEntry(*window, QStringLiteral("C&onnect"))->trigger();
    EXPECT_EQ(window->mqttStatusLabel()->text(), QStringLiteral("MQTT: Not connected (port 70000 is out of range (1-65535))"));
}

TEST(WindowStatusWithoutBroker, MissingCameraIsABadgeNotARepeatedError)
{
    auto window = windowOn("127.0.0.1", 1883, false);
    const QString noCamera = CameraThread::cameraOpenErrorMessage(TeleopConfig::instance()->camera.deviceIndex);
    window->onCameraError(noCamera);
    EXPECT_EQ(window->statusBar()->currentMessage(), noCamera);
    EXPECT_TRUE(window->cameraBadge()->isVisible());
    EXPECT_EQ(window->cameraBadge()->text(), QStringLiteral("Camera: test feed"));

    // Every settings apply restarts the camera, which fails the same way: the
    // apply's own message must stay readable.
    window->statusBar()->showMessage(QStringLiteral("Settings applied successfully."), 3000);
    window->onCameraError(noCamera);
    EXPECT_EQ(window->statusBar()->currentMessage(), QStringLiteral("Settings applied successfully."));
    EXPECT_TRUE(window->cameraBadge()->isVisible());
}
