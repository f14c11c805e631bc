#include "mqtt/mosquitto_client.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using mqtt_codec::ByteBuffer;

namespace {

struct Received
{
    std::vector<int> connectCodes;
    std::vector<int> publishIds;
    struct Message
    {
        int messageId;
        std::string topic;
        ByteBuffer payload;
        bool payloadNull;
        int qos;
        bool retain;
        ByteBuffer peerBytesBefore; // what the peer had received when the callback ran
    };
    std::vector<Message> messages;
    int peerFd = -1;
};

ByteBuffer drain(int fd)
{
    ByteBuffer bytes;
    uint8_t chunk[256];
    for (;;) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got <= 0)
            return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

// A client object wired to record its callbacks, with one end of a socket
// pair as its connection and the other end readable by the test.
class ReceiveTest : public testing::Test
{
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        m_socket = TcpSocket(fds[0]);
        m_peer = fds[1];
        m_received.peerFd = m_peer;
        m_client = mosquitto_new("rx", true, &m_received);
        ASSERT_NE(m_client, nullptr);
        // The PUBACK writer stops when the client is not running.
        m_client->running.store(true);
        mosquitto_connect_callback_set(m_client, [](mosquitto*, void* data, int code) {
            static_cast<Received*>(data)->connectCodes.push_back(code);
        });
        mosquitto_publish_callback_set(m_client, [](mosquitto*, void* data, int id) {
            static_cast<Received*>(data)->publishIds.push_back(id);
        });
        mosquitto_message_callback_set(m_client, [](mosquitto*, void* data, const mosquitto_message* message) {
            auto* received = static_cast<Received*>(data);
            const auto* bytes = static_cast<const uint8_t*>(message->payload);
            received->messages.push_back({message->messageId, message->topic,
                                          ByteBuffer(bytes, bytes + message->payloadLength), message->payload == nullptr,
                                          message->qos, message->retain, drain(received->peerFd)});
        });
    }

    void TearDown() override
    {
        m_client->running.store(false);
        mosquitto_destroy(m_client);
        ::close(m_peer);
    }

    bool feed(ByteBuffer& buffer, const ByteBuffer& bytes)
    {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        return m_client->processRxBuffer(buffer, m_socket);
    }

    mosquitto* m_client = nullptr;
    TcpSocket m_socket;
    int m_peer = -1;
    Received m_received;
};

} // namespace

TEST_F(ReceiveTest, ConnackCodesSetConnectedOrEndTheConnection)
{
    const struct {
        ByteBuffer bytes;
        int code;
        bool keep;
    } cases[] = {
        {{0x20, 0x02, 0x00, 0x00}, 0, true},
        {{0x20, 0x02, 0x00, 0x05}, 5, false},
        {{0x20, 0x02, 0x01, 0x04}, 4, false},
        {{0x20, 0x00}, MOSQ_ERR_PROTOCOL, false},
        {{0x20, 0x01, 0x00}, MOSQ_ERR_PROTOCOL, false},
    };
    for (const auto& c : cases) {
        m_client->connected.store(false);
        m_received.connectCodes.clear();
        ByteBuffer buffer;
        EXPECT_EQ(feed(buffer, c.bytes), c.keep) << testing::PrintToString(c.bytes);
        EXPECT_EQ(m_received.connectCodes, std::vector<int>{c.code});
        EXPECT_EQ(m_client->connected.load(), c.code == 0);
        EXPECT_TRUE(buffer.empty());
    }
}

TEST_F(ReceiveTest, RefusedConnackStopsBeforeLaterPackets)
{
    ByteBuffer buffer;
    EXPECT_FALSE(feed(buffer, {0x20, 0x02, 0x00, 0x05, 0x40, 0x02, 0x00, 0x09}));
    EXPECT_TRUE(m_received.publishIds.empty());
}

TEST_F(ReceiveTest, PartialPacketsWaitForTheirRest)
{
    const ByteBuffer publish{0x30, 0x07, 0x00, 0x03, 'a', '/', 'b', 'h', 'i'};
    ByteBuffer stream{0x40, 0x02, 0x00, 0x2A};
    stream.insert(stream.end(), publish.begin(), publish.end());

    // One and a half packets: the PUBACK is handled, half the PUBLISH stays.
    ByteBuffer buffer;
    EXPECT_TRUE(feed(buffer, ByteBuffer(stream.begin(), stream.begin() + 8)));
    EXPECT_EQ(m_received.publishIds, std::vector<int>{42});
    EXPECT_TRUE(m_received.messages.empty());
    EXPECT_EQ(buffer, ByteBuffer(stream.begin() + 4, stream.begin() + 8));

    EXPECT_TRUE(feed(buffer, ByteBuffer(stream.begin() + 8, stream.end())));
    ASSERT_EQ(m_received.messages.size(), 1u);
    EXPECT_EQ(m_received.messages[0].topic, "a/b");
    EXPECT_EQ(m_received.messages[0].payload, (ByteBuffer{'h', 'i'}));
    EXPECT_TRUE(buffer.empty());

    // Byte by byte, including a lone first byte and a split length.
    m_received.messages.clear();
    for (uint8_t byte : publish)
        EXPECT_TRUE(feed(buffer, {byte}));
    EXPECT_EQ(m_received.messages.size(), 1u);
    EXPECT_TRUE(buffer.empty());
}

TEST_F(ReceiveTest, PublishFieldsReachTheMessageCallback)
{
    ByteBuffer buffer;
    // QoS 0 with retain and an empty payload.
    EXPECT_TRUE(feed(buffer, {0x31, 0x05, 0x00, 0x03, 'x', '/', 'y'}));
    // QoS 1 with identifier 0x0102.
    EXPECT_TRUE(feed(buffer, {0x32, 0x08, 0x00, 0x01, 't', 0x01, 0x02, 0xAA, 0xBB, 0x00}));
    // QoS 2 is answered with PUBREC, never with PUBACK.
    EXPECT_TRUE(feed(buffer, {0x34, 0x06, 0x00, 0x01, 't', 0x00, 0x09, 0xCC}));

    ASSERT_EQ(m_received.messages.size(), 3u);
    const auto& first = m_received.messages[0];
    EXPECT_EQ(first.messageId, 0);
    EXPECT_EQ(first.topic, "x/y");
    EXPECT_TRUE(first.payloadNull);
    EXPECT_EQ(first.qos, 0);
    EXPECT_TRUE(first.retain);
    EXPECT_TRUE(first.peerBytesBefore.empty());

    const auto& second = m_received.messages[1];
    EXPECT_EQ(second.messageId, 0x0102);
    EXPECT_EQ(second.payload, (ByteBuffer{0xAA, 0xBB, 0x00}));
    EXPECT_EQ(second.qos, 1);
    EXPECT_FALSE(second.retain);
    // The PUBACK left before the callback ran.
    EXPECT_EQ(second.peerBytesBefore, (ByteBuffer{0x40, 0x02, 0x01, 0x02}));

    const auto& third = m_received.messages[2];
    EXPECT_EQ(third.qos, 2);
    EXPECT_EQ(third.peerBytesBefore, (ByteBuffer{0x50, 0x02, 0x00, 0x09}));
}

TEST_F(ReceiveTest, Qos2IsDeliveredOnceUntilTheBrokerReleasesIt)
{
    const ByteBuffer publish9{0x34, 0x06, 0x00, 0x01, 't', 0x00, 0x09, 'a'};
    const ByteBuffer resent9{0x3C, 0x06, 0x00, 0x01, 't', 0x00, 0x09, 'a'}; // DUP set
    const ByteBuffer pubrel9{0x62, 0x02, 0x00, 0x09};
    const struct {
        const ByteBuffer& in;
        ByteBuffer answer;
        size_t delivered;
    } steps[] = {
        {publish9, {0x50, 0x02, 0x00, 0x09}, 1},
        {resent9, {0x50, 0x02, 0x00, 0x09}, 1},   // acknowledged again, not delivered again
        {pubrel9, {0x70, 0x02, 0x00, 0x09}, 1},   // PUBCOMP
        {publish9, {0x50, 0x02, 0x00, 0x09}, 2},  // released: the identifier is free for a new message
    };
    ByteBuffer buffer;
    for (const auto& step : steps) {
        const size_t before = m_received.messages.size();
        EXPECT_TRUE(feed(buffer, step.in));
        // A delivering step's answer left before the callback ran.
        ByteBuffer answer = m_received.messages.size() > before ? m_received.messages.back().peerBytesBefore : ByteBuffer{};
        const ByteBuffer rest = drain(m_peer);
        answer.insert(answer.end(), rest.begin(), rest.end());
        EXPECT_EQ(answer, step.answer) << testing::PrintToString(step.in);
        EXPECT_EQ(m_received.messages.size(), step.delivered) << testing::PrintToString(step.in);
    }
}

TEST_F(ReceiveTest, TruncatedAndUnknownPacketsAreSkipped)
{
    const ByteBuffer skipped[] = {
        {0x90, 0x03, 0x00, 0x01, 0x00},       // SUBACK
        {0xD0, 0x00},                         // PINGRESP
        {0x30, 0x01, 0x00},                   // PUBLISH shorter than a topic length
        {0x30, 0x03, 0x00, 0x05, 'a'},        // topic longer than the packet
        {0x32, 0x04, 0x00, 0x01, 't', 0x00},  // QoS 1 without room for its identifier
        {0x40, 0x01, 0x07},                   // PUBACK without an identifier
        {0x40, 0x00},
    };
    for (const ByteBuffer& bytes : skipped) {
        ByteBuffer buffer;
        EXPECT_TRUE(feed(buffer, bytes)) << testing::PrintToString(bytes);
        EXPECT_TRUE(buffer.empty());
    }
    EXPECT_TRUE(m_received.messages.empty());
    EXPECT_TRUE(m_received.publishIds.empty());
    EXPECT_TRUE(m_received.connectCodes.empty());
    EXPECT_TRUE(drain(m_peer).empty());

    // The stream stays in step: a valid packet after them is still seen.
    ByteBuffer buffer;
    EXPECT_TRUE(feed(buffer, {0xD0, 0x00, 0x40, 0x02, 0x00, 0x03}));
    EXPECT_EQ(m_received.publishIds, std::vector<int>{3});
}

TEST_F(ReceiveTest, MalformedLengthEndsTheConnection)
{
    const ByteBuffer bad[] = {
        {0x30, 0x80, 0x80, 0x80, 0x80, 0x01},
        {0x30, 0xFF, 0xFF, 0xFF, 0x80},
    };
    for (const ByteBuffer& bytes : bad) {
        ByteBuffer buffer;
        EXPECT_FALSE(feed(buffer, bytes)) << testing::PrintToString(bytes);
    }
    // Exactly the limit is accepted and simply waits for its bytes.
    ByteBuffer buffer;
    EXPECT_TRUE(feed(buffer, {0x30, 0x80, 0x80, 0x40, 0x00}));
    EXPECT_EQ(buffer.size(), 5u);
}

TEST_F(ReceiveTest, OversizedPacketIsReadPastWithoutBufferingIt)
{
    // A retained PUBLISH of 1 MiB + 1 bytes (QoS 1, so it even carries an
    // identifier) arrives in the session's 2048-byte chunks, straddled by
    // a PINGRESP before and a small PUBLISH after it.
    ByteBuffer oversized{0x32, 0x81, 0x80, 0x40, 0x00, 0x01, 't', 0x00, 0x07};
    oversized.resize(4 + 1024 * 1024 + 1, 'x');
    ByteBuffer stream{0xD0, 0x00};
    stream.insert(stream.end(), oversized.begin(), oversized.end());
    const ByteBuffer after{0x30, 0x04, 0x00, 0x01, 'u', 'z'};
    stream.insert(stream.end(), after.begin(), after.end());

    ByteBuffer buffer;
    size_t largest = 0;
    for (size_t at = 0; at < stream.size(); at += 2048) {
        const size_t end = std::min(stream.size(), at + 2048);
        ASSERT_TRUE(feed(buffer, ByteBuffer(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                            stream.begin() + static_cast<std::ptrdiff_t>(end))));
        largest = std::max(largest, buffer.size());
    }
    EXPECT_LT(largest, 2048u);
    EXPECT_TRUE(buffer.empty());
    ASSERT_EQ(m_received.messages.size(), 1u);
    EXPECT_EQ(m_received.messages[0].topic, "u");
    EXPECT_TRUE(drain(m_peer).empty()) << "nothing is acknowledged for a packet never read";
}
