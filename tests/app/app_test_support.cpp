#include "tests/app/app_test_support.h"

#include "app/main_window.h"
#include "config/teleop_config.h"
#include "robot/urdf_limits.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace kestro_app_test {

std::array<int, 17> calibrationCentres()
{
    std::array<int, 17> centres{};
    for (int channel = 0; channel < 17; ++channel)
        centres[channel] = UrdfLimits::instance()->getCalibration(channel).center;
    return centres;
}

SimulatedRobot::SimulatedRobot(const kestro_test::MosquittoBroker& broker, const std::string& robotId)
{
    SimulatorOptions options;
    options.host = broker.host();
    options.port = broker.port();
    options.robotId = robotId;
    options.rate = 20.0;
    options.quiet = true;
    m_node = std::make_unique<SimulatorNode>(options, calibrationCentres(), m_out, m_err);
}

SimulatedRobot::~SimulatedRobot()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool SimulatedRobot::start()
{
    if (!m_node->start())
        return false;
    m_thread = std::thread([this] { m_node->run(m_stop); });
    return kestro_test::waitFor([this] { return m_node->isConnected(); }, std::chrono::seconds(15));
}

void feedPoses(MainWindow& window, double& phase, std::chrono::milliseconds duration, bool moving)
{
    const QImage frame(64, 48, QImage::Format_RGB888);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < duration.count()) {
        if (moving)
            phase += 0.25;
        window.onFrameReady(frame, armsPose(phase));
        processEventsFor(std::chrono::milliseconds(10));
    }
}

void setTeleop(MainWindow& window, bool active)
{
    if (window.teleopButton()->isChecked() != active)
        window.teleopButton()->click();
    ASSERT_EQ(window.isTeleopActive(), active);
}

namespace {
// "probe" as mosquitto_sub prints it with -F %x.
const char* const kProbeHex = "70726f6265";
} // namespace

bool processEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void processEventsFor(std::chrono::milliseconds duration)
{
    processEventsUntil([] { return false; }, duration);
}

PoseEstimator::PersonPose armsPose(double phase)
{
    PoseEstimator::PersonPose pose;
    auto set = [&pose](int index, double x, double y) {
        pose.keypoints[index] = {static_cast<float>(x), static_cast<float>(y), 0.9f};
    };
    set(0, 0.50, 0.20);                     // nose
    set(1, 0.48, 0.18);                     // eyes
    set(2, 0.52, 0.18);
    set(3, 0.46, 0.19);                     // ears
    set(4, 0.54, 0.19);
    set(5, 0.40, 0.32);                     // shoulders
    set(6, 0.60, 0.32);
    set(7, 0.30, 0.40);                     // elbows
    set(8, 0.70, 0.40);
    const double swing = 0.08 * std::sin(phase);
    set(9, 0.22, 0.30 + swing);             // wrists
    set(10, 0.78, 0.30 - swing);
    set(11, 0.44, 0.60);                    // hips
    set(12, 0.56, 0.60);
    set(13, 0.44, 0.78);                    // knees
    set(14, 0.56, 0.78);
    set(15, 0.44, 0.95);                    // ankles
    set(16, 0.56, 0.95);
    pose.x1 = 0.2f;
    pose.y1 = 0.1f;
    pose.x2 = 0.8f;
    pose.y2 = 0.98f;
    pose.score = 0.92f;
    pose.valid = true;
    return pose;
}

WireRecorder::~WireRecorder()
{
    if (m_subscriber.isRunning())
        m_subscriber.stop(SIGTERM);
    if (!m_outputPath.empty())
        std::remove(m_outputPath.c_str());
}

bool WireRecorder::start(const std::string& host, int port, const std::string& topic)
{
    static int counter = 0;
    const char* tmp = std::getenv("TMPDIR");
    m_outputPath = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestro-app-wire-" + std::to_string(::getpid()) + "-" +
                   std::to_string(++counter) + ".hex";
    // mosquitto_sub writes its own output file through a shell redirect so
    // that it flushes per message; -F %x prints each payload as hex.
    const std::string command = "exec /usr/bin/mosquitto_sub -h " + host + " -p " + std::to_string(port) +
                                " -t '" + topic + "' -q 1 -F '%x' > '" + m_outputPath + "'";
    if (!m_subscriber.start({"/bin/sh", "-c", command}))
        return false;
    // Subscribed once a probe message published on the topic comes back.
    for (int attempt = 0; attempt < 100; ++attempt) {
        kestro_test::runProgram({"/usr/bin/mosquitto_pub", "-h", host, "-p", std::to_string(port), "-t", topic,
                                 "-q", "1", "-m", "probe"});
        for (int i = 0; i < 20; ++i) {
            std::ifstream in(m_outputPath);
            std::string line;
            if (std::getline(in, line) && !line.empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return false;
}

std::vector<WireFrame> WireRecorder::frames()
{
    std::vector<WireFrame> result;
    std::ifstream in(m_outputPath);
    std::string line;
    while (std::getline(in, line)) {
        if (line == kProbeHex)
            continue;
        WireFrame frame;
        for (std::size_t i = 0; i + 1 < line.size(); i += 2)
            frame.bytes.push_back(static_cast<unsigned char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        if (frame.bytes.size() >= 6) {
            frame.type = frame.bytes[4];
            frame.servoCount = frame.bytes[5] / 5;
        }
        // Records of type, length, channel and a little-endian 16-bit value.
        for (std::size_t at = 6; at + 5 <= frame.bytes.size(); at += 5) {
            frame.servos[frame.bytes[at + 2]] =
                static_cast<std::int16_t>(frame.bytes[at + 3] | (frame.bytes[at + 4] << 8));
        }
        result.push_back(frame);
    }
    return result;
}

std::string artifactFolder()
{
    const char* folder = std::getenv("KESTRO_TEST_ARTIFACTS");
    const std::string path = folder && *folder ? folder : KESTRO_BINARY_DIR;
    QDir().mkpath(QString::fromStdString(path));
    return path;
}

std::unique_ptr<MainWindow> openWindow(const std::string& host, int port,
                                       const std::function<void(TeleopConfig&)>& adjust)
{
    TeleopConfig& config = *TeleopConfig::instance();
    config.populateDefaults();
    config.mqtt.host = host;
    config.mqtt.port = port;
    config.mqtt.autoConnect = true;
    if (adjust)
        adjust(config);
    EXPECT_TRUE(config.save(""));
    // The test program keeps the automatic connection off for every other
    // window.
    ::unsetenv("KESTRO_DISABLE_AUTO_MQTT");
    auto window = std::make_unique<MainWindow>(nullptr);
    ::setenv("KESTRO_DISABLE_AUTO_MQTT", "1", 1);
    window->show();
    return window;
}

QPushButton* buttonWithText(MainWindow& window, const QString& text)
{
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

bool openRecordingAndWait(MainWindow& window, const QString& path)
{
    if (!window.openRecording(path))
        return false;
    return processEventsUntil([&] { return !window.isOpeningRecording(); }, std::chrono::seconds(30)) &&
           window.isPlayingRecording();
}

void WindowOnBroker::start(const std::string& robotId, const std::function<void(TeleopConfig&)>& adjust)
{
    ASSERT_TRUE(m_broker.start()) << m_broker.error();
    UrdfLimits::instance()->init(":/model/kestro.urdf", ":/model/calibration.json");
    m_robot = std::make_unique<SimulatedRobot>(m_broker, robotId);
    ASSERT_TRUE(m_robot->start());
    ASSERT_TRUE(m_wire.start(m_broker.host(), m_broker.port(), "robot/kestro/" + robotId + "/control"));
    m_window = openWindow(m_broker.host(), m_broker.port(), [&](TeleopConfig& config) {
        config.mqtt.robotId = robotId;
        if (adjust)
            adjust(config);
    });
    const QString connected = QStringLiteral("MQTT: Connected (%1:%2)").arg(m_broker.host()).arg(m_broker.port());
    ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connected; },
                                   std::chrono::seconds(20)))
        << m_window->mqttStatusLabel()->text().toStdString();
}

void WindowOnBroker::TearDown()
{
    m_window.reset();
    m_robot.reset();
}

bool WindowOnBroker::lastFrameIs(int type)
{
    return processEventsUntil(
        [&] {
            const std::vector<WireFrame> frames = m_wire.frames();
            return !frames.empty() && frames.back().type == type;
        },
        std::chrono::seconds(5));
}

} // namespace kestro_app_test
