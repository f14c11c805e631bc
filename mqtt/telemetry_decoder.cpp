#include "mqtt/telemetry_decoder.h"

#include "mqtt/robot_frame.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>

namespace {

void setChannel(ServoTelemetry& telemetry, int channel, int pwm)
{
    telemetry.pwm[static_cast<size_t>(channel)] = pwm;
    telemetry.valid[static_cast<size_t>(channel)] = true;
    ++telemetry.channelCount;
}

bool isRobotFrame(const uint8_t* payload, size_t size)
{
    return size >= robot_frame::kHeaderSize &&
           std::equal(robot_frame::kMagic.begin(), robot_frame::kMagic.end(), payload) &&
           size == robot_frame::kHeaderSize + payload[5];
}

void decodeBinary(const uint8_t* payload, ServoTelemetry& telemetry)
{
    const size_t bodyLength = payload[5];
    const uint8_t* body = payload + robot_frame::kHeaderSize;
    if (payload[4] != robot_frame::kTelemetry || bodyLength < 2 || 2u + body[1] > bodyLength)
        return;
    size_t position = 0;
    // Each record's 2-byte header and its value must lie inside the body.
    while (position + 2 <= bodyLength && position + 2 + body[position + 1] <= bodyLength) {
        const uint8_t type = body[position];
        const uint8_t length = body[position + 1];
        const uint8_t* value = body + position + 2;
        if (type == robot_frame::kServoPwmTlv && length == robot_frame::kServoPwmTlvLength && isServoChannel(value[0]))
            setChannel(telemetry, value[0], static_cast<int16_t>(value[1] | (value[2] << 8)));
        position += 2u + length;
    }
}

void decodeArray(const QJsonArray& values, ServoTelemetry& telemetry)
{
    const int count = std::min<int>(static_cast<int>(values.size()), kServoCount);
    for (int channel = 0; channel < count; ++channel)
        setChannel(telemetry, channel, values.at(channel).toInt(0));
}

void decodeJson(const uint8_t* payload, size_t size, ServoTelemetry& telemetry)
{
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(payload), static_cast<qsizetype>(size)), &error);
    if (error.error != QJsonParseError::NoError)
        return;
    if (document.isArray()) {
        decodeArray(document.array(), telemetry);
        return;
    }
    if (!document.isObject())
        return;
    const QJsonObject object = document.object();
    if (object.contains("channel") && (object.contains("pos") || object.contains("pwm"))) {
        const int channel = object.value("channel").toInt(-1);
        const int pwm = object.contains("pos") ? object.value("pos").toInt(0) : object.value("pwm").toInt(0);
        if (isServoChannel(channel))
            setChannel(telemetry, channel, pwm);
        return;
    }
    if (object.value("servos").isArray())
        decodeArray(object.value("servos").toArray(), telemetry);
}

} // namespace

bool decodeTelemetry(const uint8_t* payload, size_t size, ServoTelemetry& telemetry)
{
    if (!payload || size == 0)
        return false;
    ServoTelemetry decoded;
    if (isRobotFrame(payload, size))
        decodeBinary(payload, decoded);
    else
        decodeJson(payload, size, decoded);
    if (decoded.channelCount == 0)
        return false;
    telemetry = decoded;
    return true;
}
