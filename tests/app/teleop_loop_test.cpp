// The teleoperation loop end to end: the window on a real mosquitto broker
// with the robot simulator on the other side, poses handed in as the camera
// thread would, and the control topic watched by the system's mosquitto_sub.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/robot_frame.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"
#include "tools/robot-sim/simulator_node.h"
#include "ui/urdf_viewer_widget.h"

#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

using kestro_app_test::armsPose;
using kestro_app_test::SimulatedRobot;
using kestro_app_test::processEventsFor;
using kestro_app_test::processEventsUntil;
using kestro_app_test::WireFrame;
using kestro_app_test::WireRecorder;
using namespace std::chrono_literals;

namespace {

constexpr int kTxRateHz = 20; // 50 ms ticks
constexpr int kWatchdogMs = 400;
const char* const kRobotId = "e2e";

class TeleopLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_broker.start()) << m_broker.error();
        UrdfLimits::instance()->init(":/model/kestro.urdf", ":/model/calibration.json");

        m_robot = std::make_unique<SimulatedRobot>(m_broker, kRobotId);
        ASSERT_TRUE(m_robot->start());

        ASSERT_TRUE(m_wire.start(m_broker.host(), m_broker.port(), "robot/kestro/" + std::string(kRobotId) + "/control"));

        TeleopConfig& config = *TeleopConfig::instance();
        config.populateDefaults();
        config.mqtt.host = m_broker.host();
        config.mqtt.port = m_broker.port();
        config.mqtt.robotId = kRobotId;
        config.mqtt.autoConnect = true;
        config.safety.txRateHz = kTxRateHz;
        config.safety.watchdogTimeoutMs = kWatchdogMs;
        ASSERT_TRUE(config.save(""));

        ::unsetenv("KESTRO_DISABLE_AUTO_MQTT");
        m_window = std::make_unique<MainWindow>(nullptr);
        ::setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
        m_window->show();
        const QString connected = QStringLiteral("MQTT: Connected (%1:%2)").arg(m_broker.host()).arg(m_broker.port());
        ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connected; }, 20s))
            << m_window->mqttStatusLabel()->text().toStdString();
        EXPECT_EQ(m_window->statusMessageLabel()->text(),
                  QStringLiteral("MQTT broker connected. Ready for teleoperation."));
    }

    void TearDown() override
    {
        m_window.reset();
        m_robot.reset();
    }

    void feedPoses(std::chrono::milliseconds duration, bool moving)
    {
        kestro_app_test::feedPoses(*m_window, m_phase, duration, moving);
    }
    void setTeleop(bool active) { kestro_app_test::setTeleop(*m_window, active); }

    // Waits until the broker has delivered what was sent so far (a probe
    // frame of our own would disturb the counts, so this waits on time).
    std::size_t settledCount()
    {
        processEventsFor(250ms);
        return m_wire.count();
    }

    int validChannelCount() const
    {
        int count = 0;
        for (bool flag : m_window->targetValid())
            count += flag ? 1 : 0;
        return count;
    }

    kestro_test::MosquittoBroker m_broker;
    std::unique_ptr<SimulatedRobot> m_robot;
    WireRecorder m_wire;
    std::unique_ptr<MainWindow> m_window;
    double m_phase = 0.0;
};

} // namespace

TEST_F(TeleopLoop, StreamsAtTheTransmitRateOnlyWhileThePoseIsFresh)
{
    // Standby: poses alone send nothing.
    feedPoses(400ms, true);
    EXPECT_EQ(settledCount(), 0u);

    // Active: a changing pose goes out at most once per tick.
    setTeleop(true);
    QElapsedTimer clock;
    clock.start();
    feedPoses(1500ms, true);
    const qint64 streamingMs = clock.elapsed();
    const std::vector<WireFrame> streamed = m_wire.frames();
    const qint64 ticks = streamingMs / (1000 / kTxRateHz);
    EXPECT_GE(static_cast<qint64>(streamed.size()), 5);
    EXPECT_LE(static_cast<qint64>(streamed.size()), ticks + 2);
    ASSERT_FALSE(streamed.empty());
    for (const WireFrame& frame : streamed)
        EXPECT_EQ(frame.type, robot_frame::kSetPwm);
    // The first frame after switching on carries every produced channel.
    EXPECT_EQ(streamed.front().servoCount, validChannelCount());

    // The person leaves: once the last pose is older than the watchdog, even
    // a full resend (standby and back) sends nothing.
    processEventsFor(std::chrono::milliseconds(kWatchdogMs + 200));
    setTeleop(false);
    setTeleop(true);
    const std::size_t beforeStale = settledCount();
    processEventsFor(500ms);
    EXPECT_EQ(m_wire.count(), beforeStale);
    EXPECT_TRUE(m_window->isTeleopActive()); // the watchdog never switches teleoperation off

    // The person is back: streaming resumes without operator action, with
    // the full frame that the reset asked for.
    feedPoses(60ms, false);
    ASSERT_TRUE(processEventsUntil([&] { return m_wire.count() > beforeStale; }, 5s));
    EXPECT_EQ(m_wire.frames()[beforeStale].servoCount, validChannelCount());
}

TEST_F(TeleopLoop, NewTargetGoesOutWithItsFrameAtMostOncePerPeriodAndNeverStale)
{
    setTeleop(true);
    // messageSent is emitted from within sendPwm, so the spy sees each
    // transmission as it happens, before any further event is processed.
    QSignalSpy sent(m_window->mqttClient(), &MqttClient::messageSent);
    const QImage image(64, 48, QImage::Format_RGB888);
    const qint64 periodMs = m_window->txTimer().interval();
    auto newFrame = [&] {
        m_phase += 0.25;
        m_window->onFrameReady(image, kestro_app_test::armsPose(m_phase));
    };

    // After a quiet period a new target leaves with its frame, not with a tick.
    processEventsFor(std::chrono::milliseconds(2 * periodMs));
    QElapsedTimer clock;
    clock.start();
    newFrame();
    EXPECT_EQ(sent.count(), 1);
    // The next target within the same period waits for the tick that ends it.
    newFrame();
    EXPECT_EQ(sent.count(), 1);
    ASSERT_TRUE(processEventsUntil([&] { return sent.count() == 2; }, 2s));
    // The timer's millisecond rounding is the only slack.
    EXPECT_GE(clock.nsecsElapsed(), (periodMs - 1) * 1000000);
    processEventsFor(std::chrono::milliseconds(2 * periodMs));
    EXPECT_EQ(sent.count(), 2); // ticks without a new target send nothing
    newFrame();
    EXPECT_EQ(sent.count(), 3);

    // A target held back by the rate cap is dropped when its pose goes stale
    // before the tick.
    TeleopConfig::instance()->safety.watchdogTimeoutMs = static_cast<int>(periodMs / 4);
    newFrame();
    processEventsFor(std::chrono::milliseconds(3 * periodMs));
    EXPECT_EQ(sent.count(), 3);
    EXPECT_EQ(settledCount(), 3u);
}

TEST_F(TeleopLoop, SteadyPoseSendsOneFullFrameThenNothing)
{
    // Let smoothing settle on one pose before streaming starts.
    feedPoses(1500ms, false);
    setTeleop(true);
    feedPoses(1200ms, false);
    const std::vector<WireFrame> frames = m_wire.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, robot_frame::kSetPwm);
    EXPECT_GT(frames[0].servoCount, 0);
    EXPECT_EQ(frames[0].servoCount, validChannelCount());
    EXPECT_EQ(frames[0].bytes.size(), robot_frame::kHeaderSize + 5u * frames[0].servoCount);
}

TEST_F(TeleopLoop, NoTargetYetSendsNothing)
{
    // Active and connected, but no usable pose since start-up: the seeded
    // centres are not a command.
    setTeleop(true);
    m_window->onFrameReady(QImage(64, 48, QImage::Format_RGB888), PoseEstimator::PersonPose{});
    processEventsFor(600ms);
    EXPECT_EQ(m_wire.count(), 0u);
}

TEST_F(TeleopLoop, EmergencyStopSendsStopAndReturnsToStandby)
{
    setTeleop(true);
    feedPoses(300ms, true);
    ASSERT_TRUE(processEventsUntil([&] { return m_wire.count() > 0; }, 5s));

    QPushButton* stop = nullptr;
    for (QPushButton* button : m_window->findChildren<QPushButton*>()) {
        if (button->text() == QStringLiteral("EMERGENCY STOP"))
            stop = button;
    }
    ASSERT_NE(stop, nullptr);
    stop->click();
    EXPECT_FALSE(m_window->isTeleopActive());
    EXPECT_FALSE(m_window->teleopButton()->isChecked());
    EXPECT_EQ(m_window->teleopButton()->text(), QStringLiteral("Teleoperation: STANDBY"));
    EXPECT_EQ(m_window->statusMessageLabel()->text(), QStringLiteral("EMERGENCY STOP TRIGGERED!"));

    ASSERT_TRUE(processEventsUntil(
        [&] {
            const std::vector<WireFrame> frames = m_wire.frames();
            return !frames.empty() && frames.back().type == robot_frame::kStop;
        },
        5s));
    EXPECT_EQ(m_wire.frames().back().bytes.size(), robot_frame::kHeaderSize);
    // Standby now: further poses do not move the robot.
    const std::size_t afterStop = m_wire.count();
    feedPoses(400ms, true);
    EXPECT_EQ(settledCount(), afterStop);
    EXPECT_TRUE(kestro_test::waitFor([&] { return m_robot->node().counters().commands >= 1; }));
}

TEST_F(TeleopLoop, SimulatorTelemetryFillsTheTableAndTheViewer)
{
    setTeleop(true);
    feedPoses(600ms, false);
    ASSERT_TRUE(processEventsUntil([&] { return m_wire.count() > 0; }, 5s));

    // A commanded channel away from its centre: the simulated servo moves
    // there and reports it back on the status topic.
    const UrdfLimits* limits = UrdfLimits::instance();
    int channel = -1;
    for (int c = 0; c < 17; ++c) {
        if (m_window->targetValid()[c] &&
            std::abs(m_window->targetPwm()[c] - limits->getCalibration(c).center) >= 5) {
            channel = c;
            break;
        }
    }
    ASSERT_GE(channel, 0) << "the test pose commands nothing away from the centres";
    const int target = m_window->targetPwm()[channel];
    const double angle = limits->pwmToAngle(channel, target);

    QTableWidget* table = m_window->telemetryTable();
    ASSERT_TRUE(processEventsUntil([&] { return table->item(channel, 3)->text() == QString::number(target); }, 15s))
        << "channel " << channel << " shows " << table->item(channel, 3)->text().toStdString() << ", want "
        << target;
    EXPECT_EQ(table->item(channel, 2)->text(), QString::number(angle * 180.0 / kPi, 'f', 1));
    EXPECT_EQ(m_window->telemetryPwm()[channel], target);
    EXPECT_DOUBLE_EQ(m_window->viewer()->jointAngles()[channel], angle);
    EXPECT_EQ(m_window->viewer()->jointPwm()[channel], target);
    EXPECT_EQ(m_robot->node().positions()[channel], target);
}
