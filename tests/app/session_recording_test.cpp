// Recording a whole session from the window: a real broker, the robot
// simulator, the camera thread's synthetic feed; the file is then read back
// by the reference MCAP reader and by our own.
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "record/mcap_reader.h"
#include "record/session_messages.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/record/mcap_peer.h"
#include "tests/support/mosquitto_broker.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using kestro_app_test::buttonWithText;
using kestro_app_test::processEventsFor;
using kestro_app_test::processEventsUntil;
using namespace std::chrono_literals;

namespace {

const char* const kRobotId = "rec";
constexpr int kWatchdogMs = 300;

// The JSON of every message on a topic, in time order.
std::vector<QJsonObject> messagesOn(const McapReader& reader, const char* topic)
{
    std::vector<QJsonObject> result;
    for (const McapReader::Message& message : reader.messagesOnTopic(topic))
        result.push_back(QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(message.data),
                                                            static_cast<qsizetype>(message.size)))
                             .object());
    return result;
}

} // namespace

TEST(SessionRecording, RecordsCameraCommandsTelemetryAndEventsOnOneTimeLine)
{
    QTemporaryDir dataHome;
    ASSERT_TRUE(dataHome.isValid());
    ::setenv("XDG_DATA_HOME", dataHome.path().toUtf8().constData(), 1);

    kestro_test::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    UrdfLimits::instance()->init(":/model/kestro.urdf", ":/model/calibration.json");
    kestro_app_test::SimulatedRobot robot(broker, kRobotId);
    ASSERT_TRUE(robot.start());

    QString path;
    {
        // Connected by hand below, once recording has started.
        const std::unique_ptr<MainWindow> shown =
            kestro_app_test::openWindow(broker.host(), broker.port(), [](TeleopConfig& config) {
                config.mqtt.robotId = kRobotId;
                config.mqtt.autoConnect = false;
                config.safety.watchdogTimeoutMs = kWatchdogMs;
                config.camera.recordFps = 10;
            });
        MainWindow& window = *shown;
        // The synthetic feed (no camera at this index) gives the recording its pictures.
        window.cameraThread()->setCameraConfig(9, 320, 240, 30, false);
        window.cameraThread()->start();

        ASSERT_NE(window.recordAction(), nullptr);
        window.recordAction()->trigger();
        ASSERT_TRUE(window.isRecording());
        EXPECT_TRUE(window.recordStatusLabel()->isVisible());
        EXPECT_TRUE(window.recordStatusLabel()->text().startsWith(QStringLiteral("REC 00:00:0")))
            << window.recordStatusLabel()->text().toStdString();

        window.mqttClient()->setRobotId(QString::fromLatin1(kRobotId));
        ASSERT_TRUE(window.mqttClient()->connectToBroker(broker.host(), broker.port(), {}, {}, 60));
        ASSERT_TRUE(processEventsUntil(
            [&] { return window.mqttStatusLabel()->text().startsWith(QStringLiteral("MQTT: Connected")); }, 20s));

        double phase = 0.0;
        kestro_app_test::setTeleop(window, true);
        kestro_app_test::feedPoses(window, phase, 600ms, true);
        processEventsFor(std::chrono::milliseconds(kWatchdogMs * 2)); // the watchdog ends the stream
        kestro_app_test::feedPoses(window, phase, 300ms, true);
        buttonWithText(window, QStringLiteral("Center (Neutral)"))->click();
        buttonWithText(window, QStringLiteral("EMERGENCY STOP"))->click();
        processEventsUntil([&] { return window.recordStatusLabel()->text().contains(QStringLiteral(" MB")); });
        processEventsFor(300ms);

        window.recordAction()->trigger();
        EXPECT_FALSE(window.isRecording());
        EXPECT_FALSE(window.recordStatusLabel()->isVisible());
        const QStringList files = QDir(MainWindow::defaultRecordingsFolder()).entryList({"*.mcap"});
        ASSERT_EQ(files.size(), 1);
        path = QDir(MainWindow::defaultRecordingsFolder()).filePath(files.front());
        EXPECT_TRUE(path.startsWith(dataHome.path() + QStringLiteral("/kestro/recordings/kestro-")));
    }
    ::unsetenv("XDG_DATA_HOME");

    const QJsonObject peer = kestro_test::readWithReferenceReader(path, true);
    const QJsonObject indexed = peer["indexed"].toObject();
    ASSERT_TRUE(indexed["error"].isUndefined()) << indexed["error"].toString().toStdString();
    EXPECT_EQ(indexed["invalid"].toArray().size(), 0)
        << QJsonDocument(indexed["invalid"].toArray()).toJson().toStdString();
    EXPECT_EQ(indexed["statistics"].toObject()["messageCount"].toInt(), indexed["messages"].toInt());
    const QJsonObject perTopic = indexed["perTopic"].toObject();
    for (const char* topic : {session::kCameraTopic, session::kAnnotationsTopic, session::kCommandTopic,
                              session::kTelemetryTopic, session::kEventsTopic})
        EXPECT_GT(perTopic[topic].toInt(), 0) << topic;

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    McapReader reader;
    ASSERT_TRUE(reader.read(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                            static_cast<std::size_t>(bytes.size())));
    EXPECT_TRUE(reader.isIntact());

    std::vector<QString> events;
    for (const QJsonObject& event : messagesOn(reader, session::kEventsTopic))
        events.push_back(event["message"].toString());
    auto position = [&](const QString& text, int after) {
        for (std::size_t i = static_cast<std::size_t>(after + 1); i < events.size(); ++i) {
            if (events[i].startsWith(text))
                return static_cast<int>(i);
        }
        return -1;
    };
    // In the order they happened.
    const std::vector<QString> expected = {
        QStringLiteral("Recording started"),   QStringLiteral("MQTT: Connected"),
        QStringLiteral("Teleoperation ACTIVE"), QStringLiteral("Watchdog stopped the stream"),
        QStringLiteral("Center sent"),          QStringLiteral("Teleoperation STANDBY"),
        QStringLiteral("Emergency stop: delivered"), QStringLiteral("Recording stopped")};
    int previous = -1;
    for (const QString& text : expected) {
        const int at = position(text, previous);
        EXPECT_GT(at, previous) << text.toStdString() << " in " << QStringList(events.begin(), events.end()).join(" | ").toStdString();
        previous = std::max(previous, at);
    }

    std::set<QString> outcomes;
    int sent = 0;
    for (const QJsonObject& command : messagesOn(reader, session::kCommandTopic)) {
        outcomes.insert(command["outcome"].toString());
        sent += command["sent"].toBool() ? 1 : 0;
    }
    EXPECT_TRUE(outcomes.count(QStringLiteral("sent")) && outcomes.count(QStringLiteral("watchdog")) &&
                outcomes.count(QStringLiteral("standby")));
    EXPECT_GT(sent, 0);
    // The robot's reports arrive in the recording as the window received them.
    EXPECT_EQ(messagesOn(reader, session::kTelemetryTopic).back()["pwm"].toArray().size(), 17);
}
