#include "mqtt/mqtt_codec.h"

#include <gtest/gtest.h>
#include <string>

using mqtt_codec::ByteBuffer;

namespace {

ByteBuffer encoded(uint64_t value)
{
    ByteBuffer buffer;
    mqtt_codec::encodeRemainingLength(buffer, value);
    return buffer;
}

ByteBuffer payload5()
{
    return {1, 2, 3, 4, 5};
}

ByteBuffer concat(ByteBuffer head, const ByteBuffer& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

} // namespace

TEST(MqttCodec, RemainingLengthEncodingAtEveryByteBoundary)
{
    const struct {
        uint64_t value;
        ByteBuffer bytes;
    } cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x80, 0x80, 0x01}},
        {2097151, {0xFF, 0xFF, 0x7F}},
        {2097152, {0x80, 0x80, 0x80, 0x01}},
        {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
        // No upper bound on the encoding side: a fifth byte appears.
        {268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.value), c.bytes) << c.value;
        if (c.bytes.size() > 4)
            continue;
        ByteBuffer packet{0x30};
        packet.insert(packet.end(), c.bytes.begin(), c.bytes.end());
        const auto decoded = mqtt_codec::decodeRemainingLength(packet.data(), packet.size());
        // Over the cap the length is still decoded, so the packet can be skipped.
        EXPECT_EQ(decoded.status, c.value <= mqtt_codec::kMaxRemainingLength ? mqtt_codec::RemainingLength::Complete
                                                                            : mqtt_codec::RemainingLength::TooLarge)
            << c.value;
        EXPECT_EQ(decoded.value, c.value);
        EXPECT_EQ(decoded.headerLength, 1 + c.bytes.size());
    }
}

TEST(MqttCodec, RemainingLengthDecodingLimits)
{
    const struct {
        ByteBuffer bytes;
        mqtt_codec::RemainingLength::Status status;
    } cases[] = {
        {{0x30}, mqtt_codec::RemainingLength::NeedMore},
        {{0x30, 0x80}, mqtt_codec::RemainingLength::NeedMore},
        {{0x30, 0x80, 0x80, 0x80}, mqtt_codec::RemainingLength::NeedMore},
        {{0x30, 0x80, 0x80, 0x80, 0x80}, mqtt_codec::RemainingLength::Malformed},
        {{0x30, 0x80, 0x80, 0x80, 0x80, 0x01}, mqtt_codec::RemainingLength::Malformed},
        // Exactly 1 MiB is allowed, one byte more is not.
        {{0x30, 0x80, 0x80, 0x40}, mqtt_codec::RemainingLength::Complete},
        {{0x30, 0x81, 0x80, 0x40}, mqtt_codec::RemainingLength::TooLarge},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mqtt_codec::decodeRemainingLength(c.bytes.data(), c.bytes.size()).status, c.status)
            << testing::PrintToString(c.bytes);
}

TEST(MqttCodec, MqttStringsAreLengthPrefixedAndCutAt65535)
{
    ByteBuffer empty;
    mqtt_codec::appendMqttString(empty, "");
    EXPECT_EQ(empty, (ByteBuffer{0x00, 0x00}));

    ByteBuffer shortText;
    mqtt_codec::appendMqttString(shortText, "MQTT");
    EXPECT_EQ(shortText, (ByteBuffer{0x00, 0x04, 'M', 'Q', 'T', 'T'}));

    std::string longText(70000, 'x');
    longText[65534] = 'y';
    longText[65535] = 'z';
    ByteBuffer cut;
    mqtt_codec::appendMqttString(cut, longText);
    ASSERT_EQ(cut.size(), 2u + 65535u);
    EXPECT_EQ(cut[0], 0xFF);
    EXPECT_EQ(cut[1], 0xFF);
    EXPECT_EQ(cut.back(), 'y');
}

TEST(MqttCodec, PublishLayouts)
{
    const ByteBuffer body = payload5();
    const ByteBuffer topic{0x00, 0x03, 'a', '/', 'b'};
    const struct {
        int qos;
        bool retain;
        uint16_t id;
        const void* payload;
        size_t length;
        ByteBuffer expected;
    } cases[] = {
        {0, false, 7, body.data(), 5, concat(concat({0x30, 0x0A}, topic), body)},
        {1, false, 7, body.data(), 5, concat(concat(concat({0x32, 0x0C}, topic), {0x00, 0x07}), body)},
        {2, false, 7, body.data(), 5, concat(concat(concat({0x32, 0x0C}, topic), {0x00, 0x07}), body)},
        {0, true, 7, body.data(), 5, concat(concat({0x31, 0x0A}, topic), body)},
        {1, true, 0x1234, nullptr, 5, concat(concat({0x33, 0x07}, topic), {0x12, 0x34})},
        {0, false, 1, body.data(), 0, concat({0x30, 0x05}, topic)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mqtt_codec::buildPublish("a/b", c.id, c.payload, c.length, c.qos, c.retain), c.expected)
            << "qos " << c.qos << " retain " << c.retain;
}

TEST(MqttCodec, PublishWithLongPayloadUsesMultiByteLength)
{
    const ByteBuffer body(200, 0xAB);
    const ByteBuffer packet = mqtt_codec::buildPublish("t", 1, body.data(), body.size(), 0, false);
    // 3 bytes of topic + 200 payload = 203 = 0xCB 0x01.
    ASSERT_EQ(packet.size(), 3u + 203u);
    EXPECT_EQ(packet[1], 0xCB);
    EXPECT_EQ(packet[2], 0x01);
    EXPECT_EQ(packet.back(), 0xAB);
}

TEST(MqttCodec, ConnectLayouts)
{
    const ByteBuffer fixedPart{0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04};
    mqtt_codec::ConnectOptions plain;
    plain.clientId = "c";
    plain.keepalive = 60;
    EXPECT_EQ(mqtt_codec::buildConnect(plain),
              (ByteBuffer{0x10, 0x0D, 0x00, 0x04, 0x4D, 0x51, 0x54, 0x54, 0x04, 0x02, 0x00, 0x3C, 0x00, 0x01, 0x63}));

    for (int keepalive : {5, 0, -3}) {
        plain.keepalive = keepalive;
        const ByteBuffer packet = mqtt_codec::buildConnect(plain);
        EXPECT_EQ(packet[10], 0x00) << keepalive;
        EXPECT_EQ(packet[11], 0x3C) << keepalive;
    }
    plain.keepalive = 11;
    EXPECT_EQ(mqtt_codec::buildConnect(plain)[11], 11);
    plain.keepalive = 300;
    EXPECT_EQ(mqtt_codec::buildConnect(plain)[10], 0x01);
    EXPECT_EQ(mqtt_codec::buildConnect(plain)[11], 0x2C);

    mqtt_codec::ConnectOptions credentials;
    credentials.clientId = "c";
    credentials.cleanSession = false;
    credentials.hasUsername = true;
    credentials.username = "u";
    credentials.hasPassword = true;
    credentials.password = "pw";
    EXPECT_EQ(mqtt_codec::buildConnect(credentials),
              concat(concat({0x10, 0x14}, fixedPart),
                     {0xC0, 0x00, 0x3C, 0x00, 0x01, 'c', 0x00, 0x01, 'u', 0x00, 0x02, 'p', 'w'}));

    // A password without a user name never reaches the wire.
    credentials.hasUsername = false;
    credentials.username.clear();
    const ByteBuffer noUser = mqtt_codec::buildConnect(credentials);
    EXPECT_EQ(noUser[9], 0x00);
    EXPECT_EQ(noUser.size(), 15u);

    // An empty password is still sent (flag and a zero-length string).
    credentials.hasUsername = true;
    credentials.username = "u";
    credentials.password.clear();
    const ByteBuffer emptyPassword = mqtt_codec::buildConnect(credentials);
    EXPECT_EQ(emptyPassword[9], 0xC0);
    EXPECT_EQ(emptyPassword.size(), 20u);
}

TEST(MqttCodec, SmallPacketLayouts)
{
    EXPECT_EQ(mqtt_codec::buildSubscribe(1, "a/b", 0), (ByteBuffer{0x82, 0x08, 0x00, 0x01, 0x00, 0x03, 'a', '/', 'b', 0x00}));
    EXPECT_EQ(mqtt_codec::buildSubscribe(0x0102, "a/b", 5).back(), 0x01);
    EXPECT_EQ(mqtt_codec::buildSubscribe(0x0102, "a/b", 5)[2], 0x01);
    EXPECT_EQ(mqtt_codec::buildSubscribe(0x0102, "a/b", 5)[3], 0x02);
    EXPECT_EQ(mqtt_codec::buildPuback(0xBEEF), (ByteBuffer{0x40, 0x02, 0xBE, 0xEF}));
    EXPECT_EQ(mqtt_codec::buildPingreq(), (ByteBuffer{0xC0, 0x00}));
    EXPECT_EQ(mqtt_codec::buildDisconnect(), (ByteBuffer{0xE0, 0x00}));
}
