// kestro-link-demo: drives the robot link without the dashboard. It connects
// with the settings file's broker settings, streams a slow sweep of the head
// and arms as set-PWM frames at the configured transmit rate, prints the
// robot's telemetry, and centres the robot at the end.
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "robot/urdf_limits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr double kDefaultSeconds = 10.0;
constexpr double kSweepPeriodSeconds = 4.0;
constexpr int kTelemetryPrintIntervalMs = 500;

// The joints that move in the sweep, with their amplitude in radians.
struct SweepJoint
{
    int channel;
    double amplitude;
    double phase;
};
constexpr SweepJoint kSweep[] = {
    {ServoChannel::HeadYaw, 0.6, 0.0},
    {ServoChannel::LeftShoulderPitch, 0.8, 0.0},
    {ServoChannel::RightShoulderPitch, 0.8, kPi},
    {ServoChannel::LeftElbow, 0.5, kPi / 2},
    {ServoChannel::RightElbow, 0.5, -kPi / 2},
};

void printUsage()
{
    std::printf("Usage: kestro-link-demo [--seconds N] [--print-endpoint]\n"
                "Streams a sweep of the head and arms to the robot configured in the\n"
                "settings file and prints its telemetry. The broker connection, TLS\n"
                "included, is the one the settings file describes.\n"
                "  --seconds N        how long to stream (default 10)\n"
                "  --print-endpoint   print the configured broker host, port, robot id and\n"
                "                     transport (tls or plain) and exit\n");
}

} // namespace

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(teleop_resources);
    double seconds = kDefaultSeconds;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--print-endpoint") == 0) {
            // One value a line, for scripts: host, port, normalised robot id,
            // then "tls" or "plain".
            const auto& mqtt = TeleopConfig::instance()->mqtt;
            std::printf("%s\n%d\n%s\n%s\n", mqtt.host.c_str(), mqtt.port,
                        MqttClient::normalizeRobotId(QString::fromStdString(mqtt.robotId)).toUtf8().constData(),
                        mqtt.tls ? "tls" : "plain");
            return 0;
        }
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            continue;
        }
        printUsage();
        return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }

    QCoreApplication app(argc, argv);
    qRegisterMetaType<ServoPwmArray>("ServoPwmArray");
    qRegisterMetaType<ServoValidArray>("ServoValidArray");

    UrdfLimits& limits = *UrdfLimits::instance();
    limits.init(":/model/kestro.urdf", ":/model/calibration.json");
    const TeleopConfig& config = *TeleopConfig::instance();

    MqttClient link;
    link.setRobotId(QString::fromStdString(config.mqtt.robotId));
    link.setTlsSettings(tlsSettingsOf(config.mqtt));
    std::printf("link-demo: broker %s:%d%s, control topic %s\n", config.mqtt.host.c_str(), config.mqtt.port,
                !config.mqtt.tls ? "" : config.mqtt.tlsInsecure ? " (TLS, unverified)" : " (TLS)",
                link.controlTopic().toUtf8().constData());

    ServoPwmArray reported{};
    ServoValidArray reportedValid{};
    QObject::connect(&link, &MqttClient::telemetryReceived, &app,
                     [&](const ServoPwmArray& values, const ServoValidArray& valid) {
                         for (int ch = 0; ch < kServoCount; ++ch) {
                             if (valid[ch]) {
                                 reported[ch] = values[ch];
                                 reportedValid[ch] = true;
                             }
                         }
                     });
    QObject::connect(&link, &MqttClient::connectionError, &app, [](const QString& message) {
        std::fprintf(stderr, "link-demo: %s\n", message.toUtf8().constData());
    });

    QElapsedTimer clock;
    QTimer transmit;
    transmit.setInterval(1000 / std::max(1, config.safety.txRateHz));
    QObject::connect(&transmit, &QTimer::timeout, &app, [&] {
        if (clock.elapsed() > seconds * 1000.0) {
            transmit.stop();
            link.sendCenter(link.controlTopic());
            std::printf("link-demo: sweep done, centring the robot\n");
            QTimer::singleShot(1500, &app, &QCoreApplication::quit);
            return;
        }
        ServoPwmArray pwm{};
        ServoValidArray valid{};
        const double t = clock.elapsed() / 1000.0;
        for (const SweepJoint& joint : kSweep) {
            const double angle = joint.amplitude * std::sin(2 * kPi * t / kSweepPeriodSeconds + joint.phase);
            pwm[joint.channel] = limits.angleToPwm(joint.channel, angle, config.safety.safetyMarginDeg);
            valid[joint.channel] = true;
        }
        if (!link.sendPwm(pwm, link.controlTopic(), &valid))
            std::fprintf(stderr, "link-demo: %s\n", link.lastError().toUtf8().constData());
    });

    QTimer printer;
    printer.setInterval(kTelemetryPrintIntervalMs);
    QObject::connect(&printer, &QTimer::timeout, &app, [&] {
        std::string line = "link-demo: telemetry";
        for (int ch = 0; ch < kServoCount; ++ch)
            line += reportedValid[ch] ? " " + std::to_string(reported[ch]) : " -";
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });

    QObject::connect(&link, &MqttClient::connected, &app, [&] {
        std::printf("link-demo: connected; streaming for %.0f s\n", seconds);
        link.resetPwmTxCache();
        if (!transmit.isActive()) {
            clock.start();
            transmit.start();
            printer.start();
        }
    });

    const auto& mqtt = config.mqtt;
    if (!link.connectToBroker(QString::fromStdString(mqtt.host), mqtt.port, QString::fromStdString(mqtt.username),
                              QString::fromStdString(mqtt.password), mqtt.keepalive))
        return 1;
    return app.exec();
}
