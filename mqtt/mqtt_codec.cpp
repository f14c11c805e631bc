#include "mqtt/mqtt_codec.h"

#include <algorithm>

namespace mqtt_codec {

namespace {

constexpr uint8_t kConnectHeader = 0x10;
constexpr uint8_t kSubscribeHeader = 0x82;
constexpr uint8_t kPublishHeader = 0x30;
constexpr uint8_t kPubackHeader = 0x40;
constexpr uint8_t kPubrecHeader = 0x50;
constexpr uint8_t kPubcompHeader = 0x70;
constexpr uint8_t kPingreqHeader = 0xC0;
constexpr uint8_t kDisconnectHeader = 0xE0;
constexpr uint8_t kProtocolLevel = 0x04;
constexpr uint8_t kFlagCleanSession = 0x02;
constexpr uint8_t kFlagPassword = 0x40;
constexpr uint8_t kFlagUsername = 0x80;
constexpr int kDefaultKeepalive = 60;
constexpr size_t kMaxLengthBytes = 4;

void appendUint16(ByteBuffer& buffer, uint16_t value)
{
    buffer.push_back(static_cast<uint8_t>(value >> 8));
    buffer.push_back(static_cast<uint8_t>(value & 0xFF));
}

ByteBuffer withFixedHeader(uint8_t firstByte, const ByteBuffer& rest)
{
    ByteBuffer packet;
    packet.reserve(rest.size() + 5);
    packet.push_back(firstByte);
    encodeRemainingLength(packet, rest.size());
    packet.insert(packet.end(), rest.begin(), rest.end());
    return packet;
}

} // namespace

void encodeRemainingLength(ByteBuffer& buffer, uint64_t value)
{
    do {
        uint8_t digit = value & 0x7F;
        if (value > 127)
            digit |= 0x80;
        buffer.push_back(digit);
        value >>= 7;
    } while (value > 0);
}

void appendMqttString(ByteBuffer& buffer, std::string_view text)
{
    const size_t length = std::min<size_t>(text.size(), 65535);
    appendUint16(buffer, static_cast<uint16_t>(length));
    buffer.insert(buffer.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

int effectiveKeepalive(int keepalive)
{
    return keepalive > 5 ? keepalive : kDefaultKeepalive;
}

ByteBuffer buildConnect(const ConnectOptions& options)
{
    const bool withPassword = options.hasUsername && options.hasPassword;
    uint8_t flags = 0;
    if (options.cleanSession)
        flags |= kFlagCleanSession;
    if (options.hasUsername)
        flags |= kFlagUsername;
    if (withPassword)
        flags |= kFlagPassword;

    ByteBuffer rest;
    appendMqttString(rest, "MQTT");
    rest.push_back(kProtocolLevel);
    rest.push_back(flags);
    // The wire field is 16 bits; larger requests are cut to the field.
    appendUint16(rest, static_cast<uint16_t>(std::min(effectiveKeepalive(options.keepalive), 65535)));
    appendMqttString(rest, options.clientId);
    if (options.hasUsername)
        appendMqttString(rest, options.username);
    if (withPassword)
        appendMqttString(rest, options.password);
    return withFixedHeader(kConnectHeader, rest);
}

ByteBuffer buildSubscribe(uint16_t packetId, std::string_view topicFilter, int qos)
{
    ByteBuffer rest;
    appendUint16(rest, packetId);
    appendMqttString(rest, topicFilter);
    rest.push_back(static_cast<uint8_t>(qos & 3));
    return withFixedHeader(kSubscribeHeader, rest);
}

ByteBuffer buildPublish(std::string_view topic, uint16_t packetId, const void* payload, size_t payloadLength, int qos,
                        bool retain)
{
    uint8_t first = kPublishHeader;
    // Only QoS 0 and 1 are implemented: any higher request travels as QoS 1.
    if (qos > 0)
        first |= 0x02;
    if (retain)
        first |= 0x01;

    ByteBuffer rest;
    rest.reserve(topic.size() + payloadLength + 4);
    appendMqttString(rest, topic);
    if (qos > 0)
        appendUint16(rest, packetId);
    if (payload && payloadLength > 0) {
        const auto* bytes = static_cast<const uint8_t*>(payload);
        rest.insert(rest.end(), bytes, bytes + payloadLength);
    }
    return withFixedHeader(first, rest);
}

ByteBuffer buildPuback(uint16_t packetId)
{
    ByteBuffer packet{kPubackHeader, 0x02};
    appendUint16(packet, packetId);
    return packet;
}

ByteBuffer buildPubrec(uint16_t packetId)
{
    ByteBuffer packet{kPubrecHeader, 0x02};
    appendUint16(packet, packetId);
    return packet;
}

ByteBuffer buildPubcomp(uint16_t packetId)
{
    ByteBuffer packet{kPubcompHeader, 0x02};
    appendUint16(packet, packetId);
    return packet;
}

ByteBuffer buildPingreq()
{
    return {kPingreqHeader, 0x00};
}

ByteBuffer buildDisconnect()
{
    return {kDisconnectHeader, 0x00};
}

RemainingLength decodeRemainingLength(const uint8_t* data, size_t size)
{
    RemainingLength result;
    uint64_t multiplier = 1;
    for (size_t index = 1;; ++index) {
        if (index >= size) {
            result.status = RemainingLength::NeedMore;
            return result;
        }
        const uint8_t digit = data[index];
        result.value += (digit & 0x7F) * multiplier;
        multiplier *= 128;
        if ((digit & 0x80) == 0) {
            result.headerLength = index + 1;
            result.status = result.value > kMaxRemainingLength ? RemainingLength::TooLarge : RemainingLength::Complete;
            return result;
        }
        if (index == kMaxLengthBytes) {
            result.status = RemainingLength::Malformed;
            return result;
        }
    }
}

} // namespace mqtt_codec
