#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Bytes of the MQTT 3.1.1 subset this client speaks. Building is kept apart
// from the session so every layout can be checked without a socket.
namespace mqtt_codec {

using ByteBuffer = std::vector<uint8_t>;

// The receive buffer would otherwise grow with whatever length a peer
// announces; robot frames and telemetry are a few hundred bytes at most.
// Longer packets are read past and discarded, never buffered.
constexpr uint64_t kMaxRemainingLength = 1024 * 1024;

enum PacketType : uint8_t {
    kConnack = 2,
    kPublish = 3,
    kPuback = 4,
    kPubrel = 6,
};

void encodeRemainingLength(ByteBuffer& buffer, uint64_t value);
void appendMqttString(ByteBuffer& buffer, std::string_view text);

struct ConnectOptions
{
    std::string clientId;
    bool cleanSession = true;
    bool hasUsername = false;
    std::string username;
    bool hasPassword = false;
    std::string password;
    int keepalive = 60;
};

// The keep-alive that goes on the wire: values of 5 s and less become 60 s.
int effectiveKeepalive(int keepalive);

ByteBuffer buildConnect(const ConnectOptions& options);
ByteBuffer buildSubscribe(uint16_t packetId, std::string_view topicFilter, int qos);
ByteBuffer buildPublish(std::string_view topic, uint16_t packetId, const void* payload, size_t payloadLength, int qos,
                        bool retain);
ByteBuffer buildPuback(uint16_t packetId);
// The receiver's half of the QoS 2 exchange: PUBREC answers the PUBLISH,
// PUBCOMP answers the broker's PUBREL.
ByteBuffer buildPubrec(uint16_t packetId);
ByteBuffer buildPubcomp(uint16_t packetId);
ByteBuffer buildPingreq();
ByteBuffer buildDisconnect();

// Outcome of reading the remaining length after a packet's first byte.
struct RemainingLength
{
    // TooLarge: well formed, but over kMaxRemainingLength; value and
    // headerLength are set so the caller can skip the packet.
    enum Status { Complete, NeedMore, Malformed, TooLarge } status = NeedMore;
    uint64_t value = 0;
    size_t headerLength = 0; // first byte plus the length bytes
};

// Decodes from data[0] (the packet's first byte) on; at most four length
// bytes.
RemainingLength decodeRemainingLength(const uint8_t* data, size_t size);

} // namespace mqtt_codec
