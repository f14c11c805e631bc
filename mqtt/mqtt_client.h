#pragma once

#include "mqtt/mqtt_tls_settings.h"
#include "robot/joint_set.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <mutex>

struct mosquitto;
struct mosquitto_message;

// The robot's end of the dashboard: one MQTT client, the robot's control and
// status topics, delta set-PWM frames, the three motion commands, and the
// decoding of servo telemetry. Lives on the GUI thread; the MQTT callbacks
// run on the network thread and only emit signals (connect them queued).
class MqttClient : public QObject
{
    Q_OBJECT

public:
    explicit MqttClient(QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; success arrives later as connected().
    bool connectToBroker(const QString& host, int port, const QString& username, const QString& password,
                         int keepalive);
    void disconnectFromBroker();
    // Used from the next connectToBroker on. With TLS on, a connection is
    // encrypted and, unless insecure, verified, or it is not made at all.
    void setTlsSettings(const MqttTlsSettings& settings);
    const MqttTlsSettings& tlsSettings() const { return m_tls; }
    bool isConnected() const;
    QString lastError() const;

    void setRobotId(const QString& id);
    QString sanitizedId() const;
    QString controlTopic() const;
    QString statusTopic() const;
    void subscribeTopics();

    // Publishes only the channels whose clamped value changed since the last
    // successful send; channels with valid[ch] false are left out.
    bool sendPwm(const ServoPwmArray& pwm, const QString& topic, const ServoValidArray* valid = nullptr);
    bool sendCenter(const QString& topic);
    bool sendRelax(const QString& topic);
    bool sendStop(const QString& topic);
    void resetPwmTxCache();
    // On while the robot is being driven: a broker that stops answering is
    // then given up within 2 s instead of within 1.5 keep-alives.
    void setFastLiveness(bool on);

    // Robot ids arrive as typed by the operator, sometimes as a whole topic.
    static QString normalizeRobotId(const QString& id);

signals:
    void connected();
    void disconnected();
    void connectionError(const QString& errorMessage);
    void messageSent(int bytes);
    void telemetryReceived(const ServoPwmArray& pwmValues, const ServoValidArray& validMask);

private:
    static void onConnectCallback(mosquitto* client, void* userData, int code);
    static void onDisconnectCallback(mosquitto* client, void* userData, int code);
    static void onPublishCallback(mosquitto* client, void* userData, int messageId);
    static void onMessageCallback(mosquitto* client, void* userData, const mosquitto_message* message);

    void createClientObject();
    bool applyTlsSettings();
    QString tlsFailure() const;
    bool sendCommand(uint8_t frameType, const QString& topic);
    bool ensureConnectedForSend();
    void applyPendingCacheReset();

    mosquitto* m_mosq = nullptr;
    std::atomic<bool> m_connected{false};
    QString m_host;
    int m_port = 1883;
    // Read by the network thread (subscribe on connect, status topic check),
    // so guarded: setRobotId may be called while connected.
    mutable std::mutex m_robotIdMutex;
    QString m_robotId = QStringLiteral("kestro");
    QString m_lastError;
    ServoPwmArray m_lastSentPwm{};
    ServoValidArray m_lastSentValid{};
    // Set by the network thread when a connection is accepted: frames sent
    // just before a lost connection may never have reached the robot, so the
    // next sendPwm sends every channel again.
    std::atomic<bool> m_cacheResetPending{false};
    MqttTlsSettings m_tls;
    // Whether m_mosq has been told to use TLS (it cannot be told otherwise).
    bool m_tlsApplied = false;
};
