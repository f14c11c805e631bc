// The teleoperation loop end to end: the window on a real mosquitto broker
// with the robot simulator on the other side, poses handed in as the camera
// thread would, and the control topic watched by the system's mosquitto_sub.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/robot_frame.h"
#include "robot/stance_preset.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"
#include "tests/vision/fake_v4l2_device.h"
#include "tools/robot-sim/simulator_node.h"
#include "ui/manual_joint_panel.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
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

class TeleopLoop : public kestro_app_test::WindowOnBroker
{
protected:
    void SetUp() override
    {
        start(kRobotId, [](TeleopConfig& config) {
            config.safety.txRateHz = kTxRateHz;
            config.safety.watchdogTimeoutMs = kWatchdogMs;
        });
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(m_window->statusMessageLabel()->text(),
                  QStringLiteral("MQTT broker connected. Ready for teleoperation."));
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

    // The channels a frame carries: those the pose drives and the legs the
    // stance preset holds.
    int validChannelCount() const
    {
        const ServoValidArray held = StancePreset::heldChannels(TeleopConfig::instance()->retarget.mode);
        int count = 0;
        for (int channel = 0; channel < kServoCount; ++channel)
            count += m_window->targetValid()[channel] || held[channel] ? 1 : 0;
        return count;
    }

    // Drives the window with its own stream of poses for a while, as
    // feedPoses does with the arms pose.
    void feed(const PoseEstimator::PersonPose& pose, std::chrono::milliseconds duration)
    {
        const QImage picture(64, 48, QImage::Format_RGB888);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < duration.count()) {
            m_window->onFrameReady(picture, pose);
            processEventsFor(10ms);
        }
    }

    // Applies changed settings and stops the camera that applying starts:
    // the frames come from the test.
    void applySettingsWithoutCamera()
    {
        m_window->onSettingsApplied();
        m_window->cameraThread()->stopCapture();
    }

    // Where the motion stream stands now, as the transmit tick sees it (on
    // the steady clock, in milliseconds).
    MotionStream::State streamState() const
    {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return m_window->motionStream().state(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(),
                                              kWatchdogMs);
    }

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
    // Without a speed limit every frame is a whole target, not a ramp step;
    // at 5 Hz the shortest watchdog the settings allow (100 ms) runs out
    // before a tick.
    TeleopConfig& config = *TeleopConfig::instance();
    config.retarget.maxVelocityDegS = 0.0f;
    config.safety.txRateHz = 5;
    applySettingsWithoutCamera();
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
    // Ticks that find the pose fresh but unchanged send nothing, and do not
    // hold back the next new target.
    config.safety.watchdogTimeoutMs = static_cast<int>(10 * periodMs);
    processEventsFor(std::chrono::milliseconds(2 * periodMs + periodMs / 2));
    EXPECT_EQ(sent.count(), 2);
    newFrame();
    EXPECT_EQ(sent.count(), 3);

    // A target held back by the rate cap is dropped when its pose goes stale
    // before the tick.
    config.safety.watchdogTimeoutMs = static_cast<int>(periodMs / 2);
    newFrame();
    processEventsFor(std::chrono::milliseconds(3 * periodMs));
    EXPECT_EQ(sent.count(), 3);
    EXPECT_EQ(settledCount(), 3u);
}

TEST_F(TeleopLoop, SteadyPoseSendsOneFullFrameThenNothing)
{
    // No speed limit here, so the robot gets there in one frame; let
    // smoothing settle on one pose before streaming starts.
    TeleopConfig::instance()->retarget.maxVelocityDegS = 0.0f;
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

    QPushButton* stop = kestro_app_test::buttonWithText(*m_window, QStringLiteral("EMERGENCY STOP"));
    ASSERT_NE(stop, nullptr);
    stop->click();
    EXPECT_FALSE(m_window->isTeleopActive());
    EXPECT_FALSE(m_window->teleopButton()->isChecked());
    EXPECT_EQ(m_window->teleopButton()->text(), QStringLiteral("Teleoperation: STANDBY"));
    EXPECT_EQ(m_window->statusMessageLabel()->text(), QStringLiteral("EMERGENCY STOP TRIGGERED!"));

    ASSERT_TRUE(lastFrameIs(robot_frame::kStop));
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

namespace {

// Only the person's left shoulder, elbow and hip are seen (the robot's left
// arm in a mirrored frame): the upper arm hangs at `armDeg` from the body
// axis, so the robot's left shoulder roll is that angle and its pitch stays
// the same whatever the angle.
PoseEstimator::PersonPose leftArmPose(double armDeg)
{
    PoseEstimator::PersonPose pose;
    pose.valid = true;
    pose.score = 0.9f;
    const double rad = armDeg * kPi / 180.0;
    pose.keypoints[5] = {0.5f, 0.3f, 0.9f};
    pose.keypoints[7] = {static_cast<float>(0.5 - 0.13 * std::sin(rad)), static_cast<float>(0.3 + 0.13 * std::cos(rad)),
                         0.9f};
    pose.keypoints[11] = {0.5f, 0.58f, 0.9f};
    pose.x2 = pose.y2 = 1.0f;
    return pose;
}

} // namespace

TEST_F(TeleopLoop, AStepOfTheArmArrivesAsARampAtTheSpeedLimit)
{
    TeleopConfig& config = *TeleopConfig::instance();
    config.camera.mirrorVideo = true;
    config.retarget.smoothingAlpha = 1.0f;
    config.retarget.deadbandDeg = 0.0f;
    config.retarget.maxVelocityDegS = 180.0f;
    config.safety.txRateHz = 30;
    applySettingsWithoutCamera();
    ASSERT_EQ(m_window->txTimer().interval(), 33);

    constexpr int kRoll = 6;
    const UrdfLimits* limits = UrdfLimits::instance();
    setTeleop(true);
    feed(leftArmPose(0.0), 800ms);
    const std::size_t before = settledCount();
    feed(leftArmPose(90.0), 1500ms);
    settledCount();

    std::vector<int> ramp;
    const std::vector<WireFrame> frames = m_wire.frames();
    for (std::size_t i = before; i < frames.size(); ++i) {
        if (frames[i].servos.count(kRoll))
            ramp.push_back(frames[i].servos.at(kRoll));
    }
    // 180 deg/s over 33 ms ticks is 5.94 degrees a frame: from 2 degrees
    // (the margin) to 90 in 15 frames, the last one whatever is left. This
    // servo turns 0.945 degrees per PWM step, so each value may be off by
    // half a step either way.
    const UrdfLimits::ChannelCalibration roll = limits->getCalibration(kRoll);
    const double degreesPerStep = std::abs(roll.radPerPwm) * 180.0 / kPi;
    auto degrees = [&](int pwm) { return (pwm - roll.center) * roll.radPerPwm * roll.sign * 180.0 / kPi; };
    ASSERT_GE(ramp.size(), 15u);
    EXPECT_LE(ramp.size(), 16u);
    double previous = 2.0;
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        const double step = degrees(ramp[i]) - previous;
        EXPECT_LE(step, 5.94 + degreesPerStep) << "frame " << i << ": " << testing::PrintToString(ramp);
        if (i + 1 < ramp.size()) {
            EXPECT_GE(step, 5.94 - degreesPerStep) << "frame " << i << ": " << testing::PrintToString(ramp);
        }
        previous = degrees(ramp[i]);
    }
    EXPECT_EQ(ramp.back(), limits->angleToPwm(kRoll, kPi / 2, 2.0));
    // The simulated servo follows to the end of the ramp.
    ASSERT_TRUE(processEventsUntil([&] { return m_robot->node().positions()[kRoll] == ramp.back(); }, 10s));
}

TEST_F(TeleopLoop, TheStancePresetsLegsArriveWhenTeleoperationStarts)
{
    const UrdfLimits* limits = UrdfLimits::instance();
    const StancePreset combat = StancePreset::named("combat");
    const ServoValidArray legs = StancePreset::heldChannels("upper_body");
    struct Case
    {
        float maxVelocityDegS;
        bool wholeStanceInFirstFrame;
    };
    for (const Case& test : {Case{0.0f, true}, Case{180.0f, false}}) {
        SCOPED_TRACE(testing::Message() << "speed limit " << test.maxVelocityDegS);
        TeleopConfig& config = *TeleopConfig::instance();
        config.retarget.stancePreset = "combat";
        config.retarget.mode = "upper_body";
        config.retarget.maxVelocityDegS = test.maxVelocityDegS;
        // From the calibrated standing pose each time.
        m_window->onCenterClicked();
        const std::size_t before = settledCount();

        setTeleop(true);
        feedPoses(1500ms, false);
        settledCount();
        setTeleop(false);
        const std::vector<WireFrame> frames = m_wire.frames();
        ASSERT_GT(frames.size(), before);
        const WireFrame& first = frames[before];
        std::map<int, int> last;
        for (std::size_t i = before; i < frames.size(); ++i) {
            for (const auto& [channel, value] : frames[i].servos)
                last[channel] = value;
        }
        for (int channel = 0; channel < kServoCount; ++channel) {
            if (!legs[channel])
                continue;
            const int stance = limits->angleToPwm(channel, combat.angles[channel], 2.0);
            const int centre = limits->getCalibration(channel).center;
            ASSERT_TRUE(first.servos.count(channel)) << "channel " << channel;
            if (test.wholeStanceInFirstFrame)
                EXPECT_EQ(first.servos.at(channel), stance) << "channel " << channel;
            else // 180 deg/s for one tick of the fixture's rate, one degree per step
                EXPECT_LE(std::abs(first.servos.at(channel) - centre), 180 / kTxRateHz) << "channel " << channel;
            EXPECT_EQ(last[channel], stance) << "channel " << channel;
            EXPECT_TRUE(kestro_test::waitFor([&] { return m_robot->node().positions()[channel] == stance; }))
                << "channel " << channel;
        }
    }
}

namespace {

// A picture of a person (a footballer in full stride), as BGR24 frames of
// whatever size the camera was asked for.
std::vector<unsigned char> footballerFrame(const v4l2_pix_format& format)
{
    const QImage picture = QImage(QStringLiteral(KESTRO_SOURCE_DIR "/tests/vision/data/messi5.jpg"))
                               .scaled(static_cast<int>(format.width), static_cast<int>(format.height))
                               .convertToFormat(QImage::Format_RGB888);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(format.bytesperline) * format.height);
    for (int y = 0; y < picture.height(); ++y) {
        const uchar* rgb = picture.constScanLine(y);
        unsigned char* bgr = bytes.data() + static_cast<std::size_t>(y) * format.bytesperline;
        for (int x = 0; x < picture.width(); ++x) {
            bgr[3 * x] = rgb[3 * x + 2];
            bgr[3 * x + 1] = rgb[3 * x + 1];
            bgr[3 * x + 2] = rgb[3 * x];
        }
    }
    return bytes;
}

} // namespace

TEST_F(TeleopLoop, ACameraThatStopsDeliveringStopsTheStream)
{
    // A camera with a person in view that stops after a number of frames;
    // the capture layer then serves its last frame again about every 2 s.
    FakeV4l2Device camera;
    camera.formats = {{V4L2_PIX_FMT_BGR24, {{640, 480, {{1, 30}}}}, std::nullopt}};
    const std::vector<unsigned char> still = footballerFrame([] {
        v4l2_pix_format format{};
        format.width = 640;
        format.height = 480;
        format.bytesperline = 3 * 640;
        return format;
    }());
    camera.frameSource = [still](const v4l2_pix_format&, int) { return still; };
    camera.framesAvailable = 12;

    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> freshPoses, sends;
    QObject::connect(m_window->cameraThread(), &CameraThread::frameReady, m_window.get(),
                     [&](const QImage&, const PoseEstimator::PersonPose& pose) {
                         if (pose.valid)
                             freshPoses.push_back(Clock::now());
                     });
    QObject::connect(m_window->mqttClient(), &MqttClient::messageSent, m_window.get(),
                     [&](int) { sends.push_back(Clock::now()); });

    // The camera and the embedded network, as at a normal start.
    TeleopConfig& config = *TeleopConfig::instance();
    config.retarget.maxVelocityDegS = 0.0f; // every change goes out at once
    config.ai.provider = "cpu";             // a changed provider loads the model
    ::unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    m_window->cameraThread()->setV4l2System(&camera);
    m_window->onSettingsApplied();
    setTeleop(true);

    const QString frozen = QString::fromLatin1(MainWindow::kCameraFrozenText);
    const bool saidFrozen =
        processEventsUntil([&] { return m_window->statusMessageLabel()->text() == frozen; }, 60s);
    // Long enough for the repeated frame to come round again.
    processEventsFor(3s);
    ASSERT_TRUE(m_window->cameraThread()->stopAndWait());
    ::setenv("KESTRO_DISABLE_AUTO_CAMERA", "1", 1);
    processEventsFor(100ms);

    EXPECT_TRUE(saidFrozen) << m_window->statusMessageLabel()->text().toStdString();
    ASSERT_GE(freshPoses.size(), 3u) << "the network found the person in too few frames";
    ASSERT_FALSE(sends.empty());
    // No pose after the last real frame, and the stream ended within the
    // watchdog time (a tick cannot send past it) of the last fresh pose.
    EXPECT_LE(freshPoses.size(), 12u);
    const auto lastSendAfterPose =
        std::chrono::duration_cast<std::chrono::milliseconds>(sends.back() - freshPoses.back()).count();
    EXPECT_LE(lastSendAfterPose, kWatchdogMs + 1000 / kTxRateHz);
    EXPECT_EQ(streamState(), MotionStream::State::Stale);
}

TEST_F(TeleopLoop, ManualSlidersMoveOnlyWhatTheCameraCouldInsideTheLimitsAndTheStopWins)
{
    TeleopConfig& config = *TeleopConfig::instance();
    config.retarget.maxVelocityDegS = 90.0f; // 4.5 degrees a 50 ms tick
    applySettingsWithoutCamera();
    const UrdfLimits* limits = UrdfLimits::instance();
    ManualJointPanel* panel = m_window->manualJointPanel();
    ASSERT_NE(panel, nullptr);
    setTeleop(true);
    panel->manualCheck()->setChecked(true);
    panel->holdCheck()->setChecked(true);
    const std::size_t before = settledCount();

    constexpr int kElbow = 7;     // left elbow: the camera drives it
    constexpr int kAnkle = 0;     // left ankle roll: only the stance preset holds it
    constexpr int kOtherArm = 8;  // right elbow: driven, but left alone here
    ASSERT_TRUE(panel->slider(kElbow)->isEnabled());
    EXPECT_FALSE(panel->slider(kAnkle)->isEnabled());
    // Pushed as far as the widgets let anything push them.
    panel->slider(kAnkle)->setValue(panel->slider(kAnkle)->maximum());
    panel->slider(kElbow)->setValue(panel->slider(kElbow)->maximum());
    const int elbowLimitPwm = limits->angleToPwm(kElbow, 10.0, 2.0);
    ASSERT_TRUE(processEventsUntil([&] { return m_robot->node().positions()[kElbow] == elbowLimitPwm; }, 10s));
    // Hold: with the sliders at rest past the watchdog time the target
    // stays fresh (the link sends only changes, so the wire stays quiet);
    // without it the watchdog ends the stream.
    auto stateAfterRest = [&] {
        processEventsFor(std::chrono::milliseconds(2 * kWatchdogMs));
        return streamState();
    };
    EXPECT_EQ(stateAfterRest(), MotionStream::State::Fresh);
    // The line beside the toggle tells what happens: the sliders are sending,
    // whoever the camera sees.
    EXPECT_TRUE(m_window->streamStateLabel()->text().startsWith(QStringLiteral("Sending:")))
        << m_window->streamStateLabel()->text().toStdString();
    panel->holdCheck()->setChecked(false);
    EXPECT_EQ(stateAfterRest(), MotionStream::State::Stale);
    EXPECT_TRUE(m_window->streamStateLabel()->text().startsWith(QStringLiteral("Pose stale")))
        << m_window->streamStateLabel()->text().toStdString();
    panel->holdCheck()->setChecked(true);

    const std::vector<WireFrame> frames = m_wire.frames();
    const UrdfLimits::ChannelCalibration elbow = limits->getCalibration(kElbow);
    const double degreesPerStep = std::abs(elbow.radPerPwm) * 180.0 / kPi;
    int previousElbow = limits->getCalibration(kElbow).center;
    int ankle = -1;
    for (std::size_t i = before; i < frames.size(); ++i) {
        const std::map<int, int>& servos = frames[i].servos;
        EXPECT_EQ(servos.count(kOtherArm) ? servos.at(kOtherArm) : 0,
                  servos.count(kOtherArm) ? limits->getCalibration(kOtherArm).center : 0);
        if (servos.count(kAnkle)) {
            // The preset's value, whatever the slider says.
            if (ankle < 0)
                ankle = servos.at(kAnkle);
            EXPECT_EQ(servos.at(kAnkle), ankle);
        }
        if (!servos.count(kElbow))
            continue;
        const int value = servos.at(kElbow);
        EXPECT_LE(std::abs(value - previousElbow) * degreesPerStep, 4.5 + degreesPerStep) << "frame " << i;
        EXPECT_LE(value, std::max(elbowLimitPwm, elbow.center));
        EXPECT_GE(value, std::min(elbowLimitPwm, elbow.center));
        previousElbow = value;
    }

    // The emergency stop ends manual control too: once the robot is centred
    // and streaming again, Hold brings nothing back.
    auto button = [&](const char* text) {
        return kestro_app_test::buttonWithText(*m_window, QString::fromLatin1(text));
    };
    ASSERT_NE(button("EMERGENCY STOP"), nullptr);
    button("EMERGENCY STOP")->click();
    EXPECT_FALSE(panel->isManualControlOn());
    EXPECT_FALSE(panel->isHoldOn());
    ASSERT_TRUE(lastFrameIs(robot_frame::kStop));
    processEventsFor(std::chrono::milliseconds(kWatchdogMs));
    ASSERT_NE(button("Center (Neutral)"), nullptr);
    button("Center (Neutral)")->click();
    const std::size_t afterCentre = settledCount();
    setTeleop(true);
    panel->slider(kElbow)->setValue(panel->slider(kElbow)->minimum());
    processEventsFor(std::chrono::milliseconds(2 * kWatchdogMs));
    EXPECT_EQ(settledCount(), afterCentre);
}
