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
constexpr uint64_t kMaxRemainingLength = 1024 * 1024;

enum PacketType : uint8_t {
    kConnack = 2,
    kPublish = 3,
    kPuback = 4,
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
ByteBuffer buildPingreq();
ByteBuffer buildDisconnect();

// Outcome of reading the remaining length after a packet's first byte.
struct RemainingLength
{
    enum Status { Complete, NeedMore, Malformed } status = NeedMore;
    uint64_t value = 0;
    size_t headerLength = 0; // first byte plus the length bytes
};

// Decodes from data[0] (the packet's first byte) on; at most four length
// bytes, and a value above kMaxRemainingLength counts as malformed.
RemainingLength decodeRemainingLength(const uint8_t* data, size_t size);

} // namespace mqtt_codec
