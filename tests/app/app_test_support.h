#pragma once

#include "tests/support/child_process.h"
#include "tests/support/mosquitto_broker.h"
#include "tools/robot-sim/simulator_node.h"
#include "vision/pose_estimator.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class MainWindow;
class QPushButton;
class TeleopConfig;

namespace kestro_app_test {

// Runs the Qt event loop until condition holds or timeout passes. Tests wait
// for outcomes with generous limits instead of sleeping fixed times.
bool processEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Keeps the event loop running for a while (for "nothing happens" checks).
void processEventsFor(std::chrono::milliseconds duration);

// A person facing the camera with both arms out; phase swings the forearms,
// so that successive phases command different elbow angles.
PoseEstimator::PersonPose armsPose(double phase);

// Hands poses to the window as the camera thread would, every 10 ms, for
// `duration`; `moving` advances `phase` with every frame, so the arms (and
// with them the commanded angles) change each time.
void feedPoses(MainWindow& window, double& phase, std::chrono::milliseconds duration, bool moving);
// Switches teleoperation on or off with the window's own button.
void setTeleop(MainWindow& window, bool active);

// The calibration centres of the 17 channels (the robot model must be
// loaded), where a simulated robot's servos start.
std::array<int, 17> calibrationCentres();

// A robot simulator on the broker, ticking on its own thread until it is
// destroyed.
class SimulatedRobot
{
public:
    SimulatedRobot(const kestro_test::MosquittoBroker& broker, const std::string& robotId);
    ~SimulatedRobot();
    SimulatedRobot(const SimulatedRobot&) = delete;
    SimulatedRobot& operator=(const SimulatedRobot&) = delete;

    // Connects and starts ticking; true once the broker accepted it.
    bool start();
    SimulatorNode& node() { return *m_node; }

private:
    std::ostringstream m_out, m_err;
    std::unique_ptr<SimulatorNode> m_node;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// One robot frame seen on the wire.
struct WireFrame
{
    int type = -1;
    int servoCount = 0;
    std::vector<unsigned char> bytes;
    // Channel -> PWM value of each servo record of a set-PWM frame.
    std::map<int, int> servos;
};

// Every message on one topic as the broker delivers it to a plain
// mosquitto_sub of the system's clients, not to our own MQTT code.
class WireRecorder
{
public:
    WireRecorder() = default;
    // Stops the subscriber and removes its output file.
    ~WireRecorder();
    WireRecorder(const WireRecorder&) = delete;
    WireRecorder& operator=(const WireRecorder&) = delete;

    bool start(const std::string& host, int port, const std::string& topic);
    // Frames received so far (reads what the subscriber printed).
    std::vector<WireFrame> frames();
    std::size_t count() { return frames().size(); }

private:
    kestro_test::ChildProcess m_subscriber;
    std::string m_outputPath;
};

// Where tests keep pictures: $KESTRO_TEST_ARTIFACTS or the build folder.
std::string artifactFolder();

// Saves the settings a window under test starts from (the defaults, this
// broker, connecting at start, then whatever `adjust` changes) and opens
// the window on them, shown, with the automatic connection the application
// makes at start.
std::unique_ptr<MainWindow> openWindow(const std::string& host, int port,
                                       const std::function<void(TeleopConfig&)>& adjust = {});
// The window's push button with this text, or null.
QPushButton* buttonWithText(MainWindow& window, const QString& text);
// Opens a recording in the window and runs the event loop until its file
// is parsed; true when the window then plays a recording.
bool openRecordingAndWait(MainWindow& window, const QString& path);

// The window end to end: a real broker with the robot simulator on it, the
// control topic recorded by mosquitto_sub, and the window connected to it.
class WindowOnBroker : public ::testing::Test
{
protected:
    // Opens the window with the robot's id and `adjust`'s settings and waits
    // until its badge says it is connected.
    void start(const std::string& robotId, const std::function<void(TeleopConfig&)>& adjust = {});
    void TearDown() override;
    // Waits until the last frame on the control topic is of this type.
    bool lastFrameIs(int type);

    kestro_test::MosquittoBroker m_broker;
    std::unique_ptr<SimulatedRobot> m_robot;
    WireRecorder m_wire;
    std::unique_ptr<MainWindow> m_window;
};

} // namespace kestro_app_test
