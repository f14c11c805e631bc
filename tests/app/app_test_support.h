#pragma once

#include "tests/support/child_process.h"
#include "tools/robot-sim/simulator_node.h"
#include "vision/pose_estimator.h"

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

namespace kestro_test {
class MosquittoBroker;
}

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

} // namespace kestro_app_test
