// The receive parser: cuts complete packets out of the buffer and acts on
// CONNACK, PUBLISH, PUBACK and PUBREL; everything else is consumed and
// ignored, and a packet over the size cap is read past without buffering it.
#include "mqtt/mosquitto_client.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kPubackWaitMs = 25;
// Reported when a CONNACK is too short to carry a return code.
constexpr int kShortConnackCode = MOSQ_ERR_PROTOCOL;

uint16_t readUint16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

} // namespace

void mosquitto::sendAck(TcpSocket& target, const mqtt_codec::ByteBuffer& ack)
{
    size_t sent = 0;
    // A lost acknowledgement is not reported: the broker will simply resend or drop.
    while (sent < ack.size() && running.load()) {
        const long written = target.sendSome(ack.data() + sent, ack.size() - sent);
        if (written < 0)
            return;
        if (written == 0) {
            if (target.waitWritable(kPubackWaitMs) == TcpSocket::Wait::Error)
                return;
            continue;
        }
        sent += static_cast<size_t>(written);
    }
}

void mosquitto::dispatchConnack(int code)
{
    if (code == 0)
        connected.store(true);
    mosquitto_connect_fn callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        callback = onConnect;
        data = userData;
    }
    if (callback)
        callback(this, data, code);
}

void mosquitto::dispatchPublish(const uint8_t* packet, size_t headerLength, size_t remainingLength, TcpSocket& target)
{
    if (remainingLength < 2)
        return;
    const uint8_t* body = packet + headerLength;
    const size_t topicLength = readUint16(body);
    const int qos = (packet[0] >> 1) & 3;
    const bool retain = (packet[0] & 1) != 0;
    const size_t payloadOffset = topicLength + (qos != 0 ? 4 : 2);
    if (remainingLength < payloadOffset)
        return;

    std::string topic(reinterpret_cast<const char*>(body + 2), topicLength);
    int messageId = 0;
    if (qos == 2) {
        messageId = readUint16(body + 2 + topicLength);
        // Delivered on the first PUBLISH; a resend of the same identifier
        // before the broker's PUBREL is the same message and is not
        // delivered twice. A PUBACK here would break the broker's flow.
        sendAck(target, mqtt_codec::buildPubrec(static_cast<uint16_t>(messageId)));
        if (!qos2Delivered.insert(static_cast<uint16_t>(messageId)).second)
            return;
    } else if (qos != 0) {
        messageId = readUint16(body + 2 + topicLength);
        // Answered before the callback runs.
        sendAck(target, mqtt_codec::buildPuback(static_cast<uint16_t>(messageId)));
    }
    std::vector<uint8_t> payload(body + payloadOffset, body + remainingLength);

    mosquitto_message message{};
    message.messageId = messageId;
    message.topic = topic.data();
    message.payload = payload.empty() ? nullptr : payload.data();
    message.payloadLength = static_cast<int>(payload.size());
    message.qos = qos;
    message.retain = retain;

    mosquitto_message_fn callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        callback = onMessage;
        data = userData;
    }
    if (callback)
        callback(this, data, &message);
}

void mosquitto::dispatchPuback(int packetId)
{
    mosquitto_publish_fn callback = nullptr;
    void* data = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        callback = onPublish;
        data = userData;
    }
    if (callback)
        callback(this, data, packetId);
}

void mosquitto::dispatchPubrel(uint16_t packetId, TcpSocket& target)
{
    qos2Delivered.erase(packetId);
    sendAck(target, mqtt_codec::buildPubcomp(packetId));
}

bool mosquitto::processRxBuffer(mqtt_codec::ByteBuffer& buffer, TcpSocket& target)
{
    size_t consumed = 0;
    bool keepConnection = true;
    while (keepConnection) {
        if (rxSkipRemaining > 0) {
            const size_t dropped = static_cast<size_t>(std::min<uint64_t>(rxSkipRemaining, buffer.size() - consumed));
            consumed += dropped;
            rxSkipRemaining -= dropped;
            if (rxSkipRemaining > 0)
                break;
        }
        const uint8_t* packet = buffer.data() + consumed;
        const size_t available = buffer.size() - consumed;
        if (available < 2)
            break;
        const mqtt_codec::RemainingLength length = mqtt_codec::decodeRemainingLength(packet, available);
        if (length.status == mqtt_codec::RemainingLength::NeedMore)
            break;
        if (length.status == mqtt_codec::RemainingLength::Malformed)
            return false;
        if (length.status == mqtt_codec::RemainingLength::TooLarge) {
            // Ending the connection would not help: a retained message comes
            // back on every new subscription, and the client would reconnect
            // for ever. So the packet is read past, chunk by chunk.
            std::fprintf(stderr, "mosquitto: skipping an incoming packet of %llu bytes (type %d), over the %llu-byte limit\n",
                         static_cast<unsigned long long>(length.value), packet[0] >> 4,
                         static_cast<unsigned long long>(mqtt_codec::kMaxRemainingLength));
            rxSkipRemaining = length.headerLength + length.value;
            continue;
        }
        const size_t remaining = static_cast<size_t>(length.value);
        if (available - length.headerLength < remaining)
            break;

        switch (packet[0] >> 4) {
        case mqtt_codec::kConnack: {
            const int code = remaining >= 2 ? packet[length.headerLength + 1] : kShortConnackCode;
            dispatchConnack(code);
            keepConnection = code == 0;
            break;
        }
        case mqtt_codec::kPublish:
            dispatchPublish(packet, length.headerLength, remaining, target);
            break;
        case mqtt_codec::kPuback:
            if (remaining >= 2)
                dispatchPuback(readUint16(packet + length.headerLength));
            break;
        case mqtt_codec::kPubrel:
            if (remaining >= 2)
                dispatchPubrel(readUint16(packet + length.headerLength), target);
            break;
        default:
            break; // SUBACK, PINGRESP and the rest need no action here.
        }
        consumed += length.headerLength + remaining;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    return keepConnection;
}
