// Applying settings in the running dashboard: the window on a real mosquitto
// broker with simulated robots, the settings dialog driven as the operator
// drives it (the "Settings" button, the widgets, "Apply"), and what the
// broker, the simulators and the wire show afterwards.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/wait_for.h"
#include "tools/robot-sim/simulator_node.h"
#include "ui/settings_dialog.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

using kestro_app_test::armsPose;
using kestro_app_test::calibrationCentres;
using kestro_app_test::SimulatedRobot;
using kestro_app_test::processEventsFor;
using kestro_app_test::processEventsUntil;
using kestro_app_test::WireRecorder;
using namespace std::chrono_literals;

namespace {

const char* const kFirstRobot = "alpha";
const char* const kSecondRobot = "beta";
const QString kAppliedMessage = QStringLiteral("Settings applied successfully.");

// What the process writes on one standard stream while this object lives:
// the pose estimator reports each model load there, which is how the tests
// see whether a reload happened and with which model.
class StreamCapture
{
public:
    explicit StreamCapture(int fd)
        : m_fd(fd)
    {
        const char* tmp = std::getenv("TMPDIR");
        m_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestro-settings-capture-" + std::to_string(::getpid()) +
                 "-" + std::to_string(fd) + ".txt";
        flushAll();
        m_saved = ::dup(fd);
        const int file = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, fd);
        ::close(file);
    }
    ~StreamCapture() { finish(); }

    std::string finish()
    {
        if (m_saved >= 0) {
            flushAll();
            ::dup2(m_saved, m_fd);
            ::close(m_saved);
            m_saved = -1;
            std::ifstream in(m_path);
            std::ostringstream text;
            text << in.rdbuf();
            m_text = text.str();
            ::unlink(m_path.c_str());
            // Shown again, so that a failing test still has its log.
            std::fputs(m_text.c_str(), m_fd == 1 ? stdout : stderr);
        }
        return m_text;
    }

private:
    static void flushAll()
    {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(stdout);
        std::fflush(stderr);
    }

    int m_fd;
    int m_saved = -1;
    std::string m_path;
    std::string m_text;
};

int countOf(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::string::size_type at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

template <typename Widget>
Widget* child(const QWidget& parent, const char* name)
{
    auto* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
    if (!widget)
        ADD_FAILURE() << "no widget " << name;
    return widget;
}

void clickButton(const SettingsDialog& dialog, const char* name)
{
    QTest::mouseClick(child<QPushButton>(dialog, name), Qt::LeftButton);
}

class SettingsApply : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_broker.start()) << m_broker.error();
        UrdfLimits::instance()->init(":/model/kestro.urdf", ":/model/calibration.json");
        m_first = std::make_unique<SimulatedRobot>(m_broker, kFirstRobot);
        ASSERT_TRUE(m_first->start());

        m_window = kestro_app_test::openWindow(m_broker.host(), m_broker.port(), [](TeleopConfig& config) {
            config.mqtt.robotId = kFirstRobot;
            config.safety.txRateHz = 5;
        });
        m_messages = std::make_unique<QSignalSpy>(m_window->statusBar(), &QStatusBar::messageChanged);
        ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connectedText(); }, 20s))
            << m_window->mqttStatusLabel()->text().toStdString();
    }

    void TearDown() override
    {
        m_messages.reset();
        m_window.reset();
        m_second.reset();
        m_first.reset();
    }

    QString connectedText() const
    {
        return QStringLiteral("MQTT: Connected (%1:%2)").arg(m_broker.host()).arg(m_broker.port());
    }

    int brokerConnections() const { return countOf(m_broker.log(), "New client connected"); }
    int brokerDisconnections() const { return countOf(m_broker.log(), " disconnected"); }

    // Opens the dialog with the tool bar's "Settings" button and runs body
    // while it is shown modally; the dialog is closed afterwards if body left
    // it open.
    void withSettingsDialog(const std::function<void(SettingsDialog&)>& body)
    {
        QPushButton* settings = nullptr;
        for (QPushButton* button : m_window->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("Settings"))
                settings = button;
        }
        ASSERT_NE(settings, nullptr);
        bool ran = false;
        QTimer::singleShot(0, m_window.get(), [&] {
            auto* dialog = m_window->findChild<SettingsDialog*>();
            if (!dialog || !processEventsUntil([&] { return dialog->isVisible(); }, 10s)) {
                ADD_FAILURE() << "the settings dialog is not shown";
                return;
            }
            body(*dialog);
            ran = true;
            if (dialog->isVisible())
                dialog->reject();
        });
        settings->click();
        // Runs the single shot here when no modal loop did.
        QCoreApplication::processEvents();
        EXPECT_TRUE(ran);
    }

    void feedPoses(std::chrono::milliseconds duration, bool moving)
    {
        kestro_app_test::feedPoses(*m_window, m_phase, duration, moving);
    }
    void setTeleop(bool active) { kestro_app_test::setTeleop(*m_window, active); }

    // Every temporary status-bar message since the window was built; the
    // camera's "Failed to open camera device" message may follow an apply
    // at once, so tests look for theirs among all that were shown.
    QStringList messagesShown() const
    {
        QStringList messages;
        for (const QList<QVariant>& arguments : *m_messages)
            messages << arguments.at(0).toString();
        return messages;
    }
    void forgetMessages() { m_messages->clear(); }
    // The apply messages among them: exactly one per apply is expected.
    QStringList applyMessages() const { return messagesShown().filter(QStringLiteral("Settings applied")); }
    QString connectingMessage() const
    {
        return QStringLiteral("Settings applied. Connecting to MQTT broker at %1:%2...")
            .arg(m_broker.host())
            .arg(m_broker.port());
    }

    kestro_test::MosquittoBroker m_broker;
    std::unique_ptr<SimulatedRobot> m_first;
    std::unique_ptr<SimulatedRobot> m_second;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<QSignalSpy> m_messages;
    double m_phase = 0.0;
};

} // namespace

TEST_F(SettingsApply, ScreenshotsOfEveryTabInTheDarkTheme)
{
    withSettingsDialog([&](SettingsDialog& dialog) {
        auto* tabs = child<QTabWidget>(dialog, "settingsTabs");
        ASSERT_NE(tabs, nullptr);
        ASSERT_EQ(6, tabs->count());
        // The window filled the backend line from its estimator; however
        // many providers it names, the dialog keeps its size.
        EXPECT_TRUE(child<QLabel>(dialog, "backendLabel")->text().startsWith(QStringLiteral("Active: ")));
        EXPECT_EQ(QSize(540, 420), dialog.size());
        for (int index = 0; index < tabs->count(); ++index) {
            tabs->setCurrentIndex(index);
            processEventsFor(50ms);
            const QImage shot = dialog.grab().toImage();
            ASSERT_FALSE(shot.isNull());
            QString name = tabs->tabText(index).toLower();
            name.replace(QLatin1Char(' '), QLatin1Char('_'));
            const QString path = QString::fromStdString(kestro_app_test::artifactFolder()) +
                                 QStringLiteral("/settings_tab_%1_%2.png").arg(index + 1).arg(name);
            EXPECT_TRUE(shot.save(path)) << path.toStdString();
            // The window's dark sheet reaches the dialog: its background,
            // left of the buttons, is dark.
            const QColor background = shot.pixelColor(4, shot.height() - 4);
            EXPECT_LT(background.lightness(), 60) << path.toStdString();
        }
    });
}

TEST_F(SettingsApply, ThemeOnlyKeepsTheConnectionAndRestartsTheCamera)
{
    const int connections = brokerConnections();
    const int disconnections = brokerDisconnections();
    ASSERT_FALSE(m_window->cameraThread()->isRunning()); // the test main disables the camera at start-up

    withSettingsDialog([&](SettingsDialog& dialog) {
        child<QCheckBox>(dialog, "darkThemeCheck")->setChecked(false);
        child<QCheckBox>(dialog, "autoConnectCheck")->setChecked(false);
        child<QCheckBox>(dialog, "showGridCheck")->setChecked(false);
        forgetMessages();
        clickButton(dialog, "applyButton");
        EXPECT_EQ(QStringList{kAppliedMessage}, applyMessages());
        EXPECT_FALSE(m_window->viewer()->showGrid());
        EXPECT_EQ(QStringLiteral("QStatusBar { color: #222222; }QStatusBar QLabel#statusMessage { color: #222222; "
                                 "background: transparent; }"),
                  m_window->styleSheet());
        EXPECT_TRUE(m_window->cameraThread()->isRunning());
        clickButton(dialog, "okButton");
    });

    // The camera delivers frames again (the synthetic feed without a device).
    EXPECT_TRUE(processEventsUntil([&] { return !m_window->videoLabel()->pixmap().isNull(); }, 20s));
    processEventsFor(1s);
    EXPECT_EQ(connections, brokerConnections()) << m_broker.log();
    EXPECT_EQ(disconnections, brokerDisconnections()) << m_broker.log();
    EXPECT_TRUE(m_window->mqttClient()->isConnected());
    EXPECT_EQ(connectedText(), m_window->mqttStatusLabel()->text());
}

TEST_F(SettingsApply, ChangedRobotIdReconnectsAndTheRobotLinkFollows)
{
    m_second = std::make_unique<SimulatedRobot>(m_broker, kSecondRobot);
    ASSERT_TRUE(m_second->start());
    WireRecorder wire;
    ASSERT_TRUE(wire.start(m_broker.host(), m_broker.port(), "robot/kestro/beta/control"));
    const int connections = brokerConnections();

    withSettingsDialog([&](SettingsDialog& dialog) {
        QLineEdit* robotId = child<QLineEdit>(dialog, "robotIdEdit");
        robotId->clear();
        QTest::keyClicks(robotId, QStringLiteral(" robot/kestro/beta/control "));
        forgetMessages();
        clickButton(dialog, "applyButton");
        EXPECT_EQ(QStringList{connectingMessage()}, applyMessages());
        clickButton(dialog, "okButton");
    });
    EXPECT_EQ("beta", TeleopConfig::instance()->mqtt.robotId);
    ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connectedText(); }, 20s));
    EXPECT_TRUE(kestro_test::waitFor([&] { return brokerConnections() > connections; }));
    EXPECT_EQ(QStringLiteral("robot/kestro/beta/control"), m_window->mqttClient()->controlTopic());

    // Streaming now moves the second robot only.
    setTeleop(true);
    feedPoses(800ms, true);
    feedPoses(1200ms, false);
    EXPECT_TRUE(processEventsUntil([&] { return wire.count() > 0; }, 10s));
    EXPECT_GT(m_second->node().counters().setPwmFrames, 0u);
    EXPECT_EQ(0u, m_first->node().counters().setPwmFrames);

    // Its telemetry is what the window shows: a commanded channel away from
    // its centre arrives back from the second robot's status topic.
    const std::array<int, 17> centres = calibrationCentres();
    int channel = -1;
    for (int c = 0; c < 17 && channel < 0; ++c) {
        if (m_window->targetValid()[c] && std::abs(m_window->targetPwm()[c] - centres[c]) >= 5)
            channel = c;
    }
    ASSERT_GE(channel, 0) << "the test pose commands nothing away from the centres";
    const int target = m_window->targetPwm()[channel];
    EXPECT_TRUE(processEventsUntil([&] { return m_window->telemetryPwm()[channel] == target; }, 15s))
        << "channel " << channel << " shows " << m_window->telemetryPwm()[channel] << ", want " << target;
    // The first robot, still at its centres, is no longer listened to.
    processEventsFor(500ms);
    EXPECT_EQ(target, m_window->telemetryPwm()[channel]);
}

TEST_F(SettingsApply, ChangedKeepaliveReconnectsWithTheNewInterval)
{
    const int connections = brokerConnections();
    forgetMessages();
    withSettingsDialog([&](SettingsDialog& dialog) {
        child<QSpinBox>(dialog, "keepaliveSpin")->setValue(20);
        clickButton(dialog, "okButton");
    });
    EXPECT_EQ(QStringList{connectingMessage()}, applyMessages());
    ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connectedText(); }, 20s));
    // mosquitto logs the keep-alive a client connected with as "k<seconds>".
    EXPECT_TRUE(kestro_test::waitFor([&] { return brokerConnections() > connections; }));
    EXPECT_NE(std::string::npos, m_broker.log().find(", k20)")) << m_broker.log();

    // Applying the same values again leaves the connection alone.
    const int reconnected = brokerConnections();
    forgetMessages();
    withSettingsDialog([&](SettingsDialog& dialog) { clickButton(dialog, "okButton"); });
    EXPECT_EQ(QStringList{kAppliedMessage}, applyMessages());
    processEventsFor(500ms);
    EXPECT_EQ(reconnected, brokerConnections());
}

TEST_F(SettingsApply, ProviderOrModelChangesReloadTheEstimatorAndRefreshTheBadges)
{
    const std::string loaded = "PoseEstimator: Loaded model successfully";
    ASSERT_FALSE(TeleopConfig::instance()->ai.provider == "cpu");
    const QString badgeBefore = m_window->aiBadge()->text();

    // Nothing about the model changed: no load, even though none happened at
    // start-up (the test main disables the camera and the model load).
    {
        StreamCapture out(1), err(2);
        withSettingsDialog([&](SettingsDialog& dialog) {
            child<QCheckBox>(dialog, "showGridCheck")->setChecked(false);
            clickButton(dialog, "okButton");
        });
        EXPECT_EQ(0, countOf(out.finish() + err.finish(), "PoseEstimator: "));
    }

    // A new provider: the network is loaded on it, the badges and the open
    // dialog's backend line say so.
    {
        StreamCapture out(1);
        withSettingsDialog([&](SettingsDialog& dialog) {
            QComboBox* provider = child<QComboBox>(dialog, "providerCombo");
            provider->setCurrentIndex(provider->findData(QStringLiteral("cpu")));
            clickButton(dialog, "applyButton");
            EXPECT_TRUE(child<QLabel>(dialog, "backendLabel")
                            ->text()
                            .startsWith(QStringLiteral("Active: <span style='color: #ffcc00;'>CPU</span>")))
                << child<QLabel>(dialog, "backendLabel")->text().toStdString();
        });
        EXPECT_EQ(1, countOf(out.finish(), loaded));
    }
    EXPECT_EQ(QStringLiteral("AI: CPU"), m_window->aiBadge()->text()) << badgeBefore.toStdString();
    EXPECT_EQ(QStringLiteral("AI: CPU"), m_window->aiStatusLabel()->text());

    // A changed custom path reloads even while the embedded network is in use
    // (and loads the embedded one).
    TeleopConfig::instance()->ai.customModelPath = "/nonexistent/pose.onnx";
    {
        StreamCapture out(1), err(2);
        withSettingsDialog([&](SettingsDialog& dialog) { clickButton(dialog, "okButton"); });
        EXPECT_EQ(1, countOf(out.finish(), loaded));
        EXPECT_EQ(0, countOf(err.finish(), "Failed to open model file"));
    }

    // Switching to the custom model uses its path.
    TeleopConfig::instance()->ai.modelSource = "custom";
    {
        StreamCapture err(2);
        withSettingsDialog([&](SettingsDialog& dialog) { clickButton(dialog, "okButton"); });
        EXPECT_EQ(1, countOf(err.finish(), "Failed to open model file: /nonexistent/pose.onnx"));
    }
}

TEST_F(SettingsApply, ChangedTransmitRateChangesTheRateOfFramesOnTheWire)
{
    WireRecorder wire;
    ASSERT_TRUE(wire.start(m_broker.host(), m_broker.port(), "robot/kestro/alpha/control"));
    ASSERT_EQ(200, m_window->txTimer().interval());
    setTeleop(true);

    // Moving arms change the command with every pose handed in, so a tick
    // sends whenever a new pose arrived since the last one. Returns the
    // frames on the wire, the time taken and the poses handed in.
    struct Window
    {
        qint64 frames, elapsedMs, poses;
    };
    auto measure = [&](std::chrono::milliseconds duration) {
        feedPoses(300ms, true);
        const std::size_t before = wire.count();
        QElapsedTimer clock;
        clock.start();
        qint64 poses = 0;
        const QImage frame(64, 48, QImage::Format_RGB888);
        while (clock.elapsed() < duration.count()) {
            m_window->onFrameReady(frame, armsPose(m_phase += 0.25));
            ++poses;
            processEventsFor(10ms);
        }
        const qint64 elapsed = clock.elapsed();
        processEventsFor(300ms);
        return Window{static_cast<qint64>(wire.count() - before), elapsed, poses};
    };
    const Window slow = measure(2500ms);
    // However loaded the machine, a 5 Hz timer never sends more than one
    // frame per 200 ms (coarse timers may fire up to 5 % early).
    EXPECT_LE(slow.frames, slow.elapsedMs / 190 + 2);
    EXPECT_GE(slow.frames, 3);

    forgetMessages();
    withSettingsDialog([&](SettingsDialog& dialog) {
        child<QSpinBox>(dialog, "txRateSpin")->setValue(30);
        clickButton(dialog, "okButton");
    });
    EXPECT_EQ(33, m_window->txTimer().interval());
    EXPECT_TRUE(m_window->txTimer().isActive());
    EXPECT_EQ(QStringList{kAppliedMessage}, applyMessages());
    // The apply started the camera; its frames would only compete with the
    // poses handed in here for the event loop.
    m_window->cameraThread()->stopCapture();
    m_window->cameraThread()->wait();

    const Window fast = measure(2500ms);
    const std::string counts = "slow " + std::to_string(slow.frames) + " frames/" + std::to_string(slow.poses) +
                               " poses, fast " + std::to_string(fast.frames) + " frames/" +
                               std::to_string(fast.poses) + " poses";
    EXPECT_LE(fast.frames, fast.elapsedMs / 31 + 2) << counts;
    // More than a 5 Hz timer could ever have sent in that time, and at least
    // a third of what the poses handed in allowed at 30 Hz.
    EXPECT_GT(fast.frames, fast.elapsedMs / 190 + 2) << counts;
    EXPECT_GE(3 * fast.frames, std::min(fast.poses, fast.elapsedMs / 33)) << counts;
}

// The operator's check from the command line: the simulator program started
// for another robot id reports the stream once that id is applied (here
// pasted as that robot's whole status topic).
TEST_F(SettingsApply, SimulatorProgramForTheAppliedIdReportsTheStream)
{
    kestro_test::ChildProcess simulator;
    ASSERT_TRUE(simulator.start({KESTRO_ROBOT_SIM, "--host", m_broker.host(), "--port",
                                 std::to_string(m_broker.port()), "--robot-id", "QRX-ab12"}));
    ASSERT_TRUE(simulator.waitForOutput("robot-sim: connected", 15s)) << simulator.output();

    withSettingsDialog([&](SettingsDialog& dialog) {
        QLineEdit* robotId = child<QLineEdit>(dialog, "robotIdEdit");
        robotId->clear();
        QTest::keyClicks(robotId, QStringLiteral("robot/kestro/QRX-ab12/status"));
        clickButton(dialog, "applyButton");
        clickButton(dialog, "okButton");
    });
    ASSERT_TRUE(processEventsUntil([&] { return m_window->mqttStatusLabel()->text() == connectedText(); }, 20s));

    setTeleop(true);
    QElapsedTimer clock;
    clock.start();
    bool reported = false;
    while (!reported && clock.elapsed() < 15000) {
        feedPoses(100ms, true);
        simulator.readAvailable();
        reported = simulator.output().find("robot-sim: set-PWM ") != std::string::npos;
    }
    EXPECT_TRUE(reported) << simulator.output();
    EXPECT_EQ(0u, m_first->node().counters().setPwmFrames);
    simulator.stop(SIGTERM);
}
