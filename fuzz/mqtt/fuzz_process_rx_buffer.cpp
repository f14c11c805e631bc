// Feeds arbitrary broker bytes through a client's receive parser, split into
// chunks so partial packets and resumed parsing are exercised too. The
// callbacks read every byte they are given, so ASan sees any bad pointer.
#include "mqtt/mosquitto_client.h"

#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile uint32_t g_sink = 0;

void onConnect(mosquitto*, void*, int code)
{
    g_sink = g_sink + static_cast<uint32_t>(code);
}

void onPublish(mosquitto*, void*, int messageId)
{
    g_sink = g_sink + static_cast<uint32_t>(messageId);
}

void onMessage(mosquitto*, void*, const mosquitto_message* message)
{
    uint32_t sum = static_cast<uint32_t>(std::strlen(message->topic));
    const auto* payload = static_cast<const uint8_t*>(message->payload);
    for (int i = 0; i < message->payloadLength; ++i)
        sum += payload[i];
    g_sink = g_sink + sum + static_cast<uint32_t>(message->qos + message->messageId);
}

struct Harness
{
    Harness()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0)
            __builtin_trap();
        socket = TcpSocket(fds[0]);
        peer = fds[1];
        client = mosquitto_new("fuzz", true, nullptr);
        client->running.store(true);
        mosquitto_connect_callback_set(client, onConnect);
        mosquitto_publish_callback_set(client, onPublish);
        mosquitto_message_callback_set(client, onMessage);
    }

    // PUBACKs written by the parser pile up at the peer; read them away so
    // the writer never waits for a full socket.
    void drainPeer()
    {
        uint8_t chunk[4096];
        while (::recv(peer, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
        }
    }

    mosquitto* client = nullptr;
    TcpSocket socket;
    int peer = -1;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Harness harness;
    if (size == 0)
        return 0;
    // The first byte picks the chunk size (1..256) the stream arrives in.
    const size_t chunk = static_cast<size_t>(data[0]) + 1;
    ++data;
    --size;

    harness.client->connected.store(false);
    harness.client->rxSkipRemaining = 0;
    harness.client->qos2Delivered.clear();
    mqtt_codec::ByteBuffer buffer;
    for (size_t offset = 0; offset < size; offset += chunk) {
        const size_t length = std::min(chunk, size - offset);
        buffer.insert(buffer.end(), data + offset, data + offset + length);
        if (!harness.client->processRxBuffer(buffer, harness.socket))
            break;
        // Whatever stays must be an incomplete packet: never more than the
        // limit plus its header.
        if (buffer.size() > mqtt_codec::kMaxRemainingLength + 5)
            __builtin_trap();
        harness.drainPeer();
    }
    harness.drainPeer();
    return 0;
}
