#include "mqtt/mqtt_client.h"

#include "mqtt/mosquitto.h"
#include "mqtt/robot_frame.h"
#include "mqtt/telemetry_decoder.h"

#include <QByteArray>
#include <algorithm>

namespace {

const QString kTopicPrefix = QStringLiteral("robot/kestro/");
const QString kDefaultRobotId = QStringLiteral("kestro");
const QString kControlSuffix = QStringLiteral("/control");
const QString kStatusSuffix = QStringLiteral("/status");
const QString kNotConnected = QStringLiteral("MQTT not connected");
const QString kPublishFailed = QStringLiteral("MQTT publish failed: %1");
// What the operator can do something about, for a connect callback code:
// the TCP failure when no connection was made, else the CONNACK's answer.
QString connectionFailureWords(int code, int tcpFailure, const QString& host, int port)
{
    const QString address = QStringLiteral("%1:%2").arg(host).arg(port);
    switch (tcpFailure) {
    case MOSQ_CONNECT_FAILURE_HOST_NOT_FOUND:
        return QStringLiteral("host %1 not found").arg(host);
    case MOSQ_CONNECT_FAILURE_REFUSED:
        return QStringLiteral("connection refused by %1 (is the broker running on that port?)").arg(address);
    case MOSQ_CONNECT_FAILURE_TIMED_OUT:
        return QStringLiteral("no answer from %1 (timed out)").arg(address);
    case MOSQ_CONNECT_FAILURE_OTHER:
        return QStringLiteral("cannot reach %1").arg(address);
    default:
        break;
    }
    switch (code) {
    case 1: return QStringLiteral("%1 does not speak MQTT 3.1.1").arg(address);
    case 2: return QStringLiteral("%1 rejected the client identifier").arg(address);
    case 3: return QStringLiteral("the broker at %1 is unavailable").arg(address);
    case 4: return QStringLiteral("%1 rejected the user name or password").arg(address);
    case 5: return QStringLiteral("not authorised by %1 (check the user name and password)").arg(address);
    default: return QStringLiteral("%1: %2").arg(address, QString::fromUtf8(mosquitto_strerror(code)));
    }
}

constexpr unsigned kFirstReconnectDelayS = 1;
constexpr unsigned kLongestReconnectDelayS = 30;

} // namespace

MqttClient::MqttClient(QObject* parent)
    : QObject(parent)
{
    mosquitto_lib_init();
    createClientObject();
}

void MqttClient::createClientObject()
{
    mosquitto_destroy(m_mosq);
    m_mosq = mosquitto_new(nullptr, true, this);
    if (m_mosq) {
        mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnectCallback);
        mosquitto_disconnect_callback_set(m_mosq, &MqttClient::onDisconnectCallback);
        mosquitto_publish_callback_set(m_mosq, &MqttClient::onPublishCallback);
        mosquitto_message_callback_set(m_mosq, &MqttClient::onMessageCallback);
        // A broker that accepts and then drops us (a packet it will resend
        // on every subscription, say) must not drive a reconnect storm.
        mosquitto_reconnect_delay_set(m_mosq, kFirstReconnectDelayS, kLongestReconnectDelayS, true);
    }
}

MqttClient::~MqttClient()
{
    disconnectFromBroker();
    mosquitto_destroy(m_mosq);
    mosquitto_lib_cleanup();
}

bool MqttClient::connectToBroker(const QString& host, int port, const QString& username, const QString& password,
                                 int keepalive)
{
    if (!m_mosq) {
        emit connectionError(QStringLiteral("Mosquitto instance not initialized"));
        return false;
    }
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    m_connected.store(false);
    resetPwmTxCache();
    m_host = host;
    m_port = port;
    if (!applyTlsSettings())
        return false;

    const QByteArray user = username.toUtf8();
    const QByteArray secret = password.toUtf8();
    if (user.isEmpty())
        mosquitto_username_pw_set(m_mosq, nullptr, nullptr);
    else
        mosquitto_username_pw_set(m_mosq, user.constData(), secret.isEmpty() ? nullptr : secret.constData());

    const int code = mosquitto_connect_async(m_mosq, host.toUtf8().constData(), port, keepalive);
    if (code != MOSQ_ERR_SUCCESS) {
        emit connectionError(QStringLiteral("MQTT connection error: %1").arg(QString::fromUtf8(mosquitto_strerror(code))));
        return false;
    }
    mosquitto_loop_start(m_mosq);
    return true;
}

void MqttClient::disconnectFromBroker()
{
    if (m_mosq) {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
    }
    m_connected.store(false);
    resetPwmTxCache();
}

bool MqttClient::isConnected() const
{
    return m_connected.load();
}

QString MqttClient::lastError() const
{
    return m_lastError;
}

QString MqttClient::normalizeRobotId(const QString& id)
{
    QString result = id;
    if (result.startsWith(kTopicPrefix))
        result.remove(0, kTopicPrefix.size());
    while (result.endsWith(QLatin1Char('/')))
        result.chop(1);
    if (result.endsWith(kControlSuffix))
        result.chop(kControlSuffix.size());
    else if (result.endsWith(kStatusSuffix))
        result.chop(kStatusSuffix.size());
    return result.isEmpty() ? kDefaultRobotId : result;
}

void MqttClient::setRobotId(const QString& id)
{
    {
        std::lock_guard<std::mutex> lock(m_robotIdMutex);
        m_robotId = normalizeRobotId(id);
    }
    resetPwmTxCache();
    // The old subscription stays: there is no unsubscribe in this client.
    if (m_connected.load())
        subscribeTopics();
}

QString MqttClient::sanitizedId() const
{
    std::lock_guard<std::mutex> lock(m_robotIdMutex);
    return m_robotId.isEmpty() ? kDefaultRobotId : m_robotId;
}

QString MqttClient::controlTopic() const
{
    return kTopicPrefix + sanitizedId() + kControlSuffix;
}

QString MqttClient::statusTopic() const
{
    return kTopicPrefix + sanitizedId() + kStatusSuffix;
}

void MqttClient::subscribeTopics()
{
    if (!m_mosq || !m_connected.load())
        return;
    mosquitto_subscribe(m_mosq, nullptr, statusTopic().toUtf8().constData(), 0);
}

void MqttClient::resetPwmTxCache()
{
    m_lastSentPwm.fill(0);
    m_lastSentValid.fill(false);
}

void MqttClient::setFastLiveness(bool on)
{
    mosquitto_fast_liveness_set(m_mosq, on);
}

void MqttClient::applyPendingCacheReset()
{
    if (m_cacheResetPending.exchange(false))
        resetPwmTxCache();
}

bool MqttClient::ensureConnectedForSend()
{
    if (!m_mosq || !m_connected.load()) {
        m_lastError = kNotConnected;
        return false;
    }
    return true;
}

bool MqttClient::sendPwm(const ServoPwmArray& pwm, const QString& topic, const ServoValidArray* valid)
{
    if (!ensureConnectedForSend())
        return false;
    applyPendingCacheReset();

    robot_frame::SetPwmFrame frame;
    ServoPwmArray appendedValue{};
    ServoValidArray appended{};
    for (int channel = 0; channel < kServoCount; ++channel) {
        const auto index = static_cast<size_t>(channel);
        if (valid && !(*valid)[index])
            continue;
        const int value = std::clamp(pwm[index], robot_frame::kPwmMin, robot_frame::kPwmMax);
        if (m_lastSentValid[index] && m_lastSentPwm[index] == value)
            continue;
        if (!frame.appendServo(static_cast<uint8_t>(channel), static_cast<int16_t>(value))) {
            m_lastError = QStringLiteral("Failed to encode SET_PWM servo TLV");
            return false;
        }
        appended[index] = true;
        appendedValue[index] = value;
    }
    if (frame.servoCount() == 0)
        return true; // a steady pose costs no traffic
    if (!frame.finish()) {
        m_lastError = QStringLiteral("Failed to finish SET_PWM message");
        return false;
    }

    const int code = mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), static_cast<int>(frame.size()),
                                       frame.data(), 0, false);
    if (code != MOSQ_ERR_SUCCESS) {
        // The cache is left alone so the same channels are offered again.
        m_lastError = kPublishFailed.arg(QString::fromUtf8(mosquitto_strerror(code)));
        return false;
    }
    for (size_t index = 0; index < appended.size(); ++index) {
        if (appended[index]) {
            m_lastSentValid[index] = true;
            m_lastSentPwm[index] = appendedValue[index];
        }
    }
    if (!m_lastError.isEmpty())
        m_lastError.clear();
    emit messageSent(static_cast<int>(robot_frame::kHeaderSize + robot_frame::kServoTlvSize * frame.servoCount()));
    return true;
}

bool MqttClient::sendCommand(uint8_t frameType, const QString& topic)
{
    if (!ensureConnectedForSend())
        return false;
    const auto frame = robot_frame::commandFrame(static_cast<robot_frame::FrameType>(frameType));
    const int code = mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(), static_cast<int>(frame.size()),
                                       frame.data(), 0, false);
    if (code != MOSQ_ERR_SUCCESS) {
        m_lastError = kPublishFailed.arg(QString::fromUtf8(mosquitto_strerror(code)));
        return false;
    }
    return true;
}

bool MqttClient::sendCenter(const QString& topic)
{
    return sendCommand(robot_frame::kCenter, topic);
}

bool MqttClient::sendRelax(const QString& topic)
{
    return sendCommand(robot_frame::kRelax, topic);
}

bool MqttClient::sendStop(const QString& topic)
{
    return sendCommand(robot_frame::kStop, topic);
}

void MqttClient::onConnectCallback(mosquitto*, void* userData, int code)
{
    auto* self = static_cast<MqttClient*>(userData);
    if (!self)
        return;
    if (code == 0) {
        self->m_connected.store(true);
        self->m_cacheResetPending.store(true);
        self->subscribeTopics();
        emit self->connected();
    } else {
        self->m_connected.store(false);
        // A refused TLS handshake has a reason worth more than its code.
        const QString words = code == MOSQ_ERR_TLS
                                  ? self->tlsFailure()
                                  : connectionFailureWords(code, mosquitto_connect_failure(self->m_mosq), self->m_host,
                                                           self->m_port);
        emit self->connectionError(QStringLiteral("MQTT Connection failed: %1 (code %2)").arg(words).arg(code));
    }
}

void MqttClient::onDisconnectCallback(mosquitto*, void* userData, int)
{
    auto* self = static_cast<MqttClient*>(userData);
    if (!self)
        return;
    self->m_connected.store(false);
    emit self->disconnected();
}

void MqttClient::onPublishCallback(mosquitto*, void*, int)
{
    // Delivery of QoS 0 frames needs no follow-up.
}

void MqttClient::onMessageCallback(mosquitto*, void* userData, const mosquitto_message* message)
{
    auto* self = static_cast<MqttClient*>(userData);
    if (!self || !message || !message->topic || !message->payload || message->payloadLength <= 0)
        return;
    const QString topic = QString::fromUtf8(message->topic);
    if (!topic.endsWith(kStatusSuffix) || topic != self->statusTopic())
        return;
    ServoTelemetry telemetry;
    if (decodeTelemetry(static_cast<const uint8_t*>(message->payload), static_cast<size_t>(message->payloadLength),
                        telemetry))
        emit self->telemetryReceived(telemetry.pwm, telemetry.valid);
}
