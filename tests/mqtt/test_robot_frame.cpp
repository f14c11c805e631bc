#include "mqtt/mqtt_client.h"
#include "mqtt/robot_frame.h"
#include "mqtt/telemetry_decoder.h"

#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes text(const std::string& json)
{
    return Bytes(json.begin(), json.end());
}

// Expected channels as {channel: pwm}; empty means "ignored".
using Channels = std::map<int, int>;

Channels decoded(const Bytes& payload)
{
    ServoTelemetry telemetry;
    if (!decodeTelemetry(payload.data(), payload.size(), telemetry))
        return {};
    Channels channels;
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (telemetry.valid[static_cast<size_t>(channel)])
            channels[channel] = telemetry.pwm[static_cast<size_t>(channel)];
        else
            EXPECT_EQ(telemetry.pwm[static_cast<size_t>(channel)], 0) << "invalid channels read 0";
    }
    return channels;
}

Channels firstChannels(int count, int base)
{
    Channels channels;
    for (int channel = 0; channel < count; ++channel)
        channels[channel] = base + channel;
    return channels;
}

} // namespace

TEST(TelemetryDecoding, BinaryFrames)
{
    const struct {
        const char* what;
        Bytes payload;
        Channels expected;
    } cases[] = {
        {"one servo", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x05, 0x03, 0x03, 0x04, 0x96, 0x00}, {{4, 150}}},
        {"negative value", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x05, 0x03, 0x03, 0x04, 0xFF, 0xFF}, {{4, -1}}},
        {"two servos, repeat overwrites",
         {0x4B, 0x53, 0x42, 0x31, 0x01, 0x0F, 0x03, 0x03, 0x00, 0x10, 0x00, 0x03, 0x03, 0x10, 0x20, 0x01, 0x03, 0x03,
          0x00, 0x11, 0x00},
         {{0, 17}, {16, 288}}},
        {"foreign record skipped",
         {0x4B, 0x53, 0x42, 0x31, 0x01, 0x09, 0x07, 0x02, 0xAA, 0xBB, 0x03, 0x03, 0x02, 0x8C, 0x00},
         {{2, 140}}},
        {"servo record of wrong length skipped",
         {0x4B, 0x53, 0x42, 0x31, 0x01, 0x0B, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x03, 0x03, 0x05, 0x01, 0x00},
         {{5, 1}}},
        {"channel 17 sets nothing", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x05, 0x03, 0x03, 0x11, 0x96, 0x00}, {}},
        {"type 2 ignored", {0x4B, 0x53, 0x42, 0x31, 0x02, 0x05, 0x03, 0x03, 0x04, 0x96, 0x00}, {}},
        {"body shorter than a record header", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x01, 0x03}, {}},
        {"first record overruns the body", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x04, 0x03, 0x03, 0x04, 0x96}, {}},
        // A later record that overruns ends the walk; earlier ones count.
        {"truncated second record",
         {0x4B, 0x53, 0x42, 0x31, 0x01, 0x08, 0x03, 0x03, 0x04, 0x96, 0x00, 0x03, 0x03, 0x05},
         {{4, 150}}},
        // Length byte disagrees with the payload: parsed as JSON, which fails.
        {"length mismatch", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x06, 0x03, 0x03, 0x04, 0x96, 0x00}, {}},
        {"empty command frame", {0x4B, 0x53, 0x42, 0x31, 0x01, 0x00}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decoded(c.payload), c.expected) << c.what;
}

TEST(TelemetryDecoding, JsonShapes)
{
    const struct {
        std::string json;
        Channels expected;
    } cases[] = {
        {R"({"channel": 4, "pos": 150})", {{4, 150}}},
        {R"({"channel": 4, "pwm": 151})", {{4, 151}}},
        {R"({"channel": 4, "pos": 150, "pwm": 151})", {{4, 150}}},
        {R"({"channel": 3, "pos": 140.0})", {{3, 140}}},
        {R"({"channel": 3, "pos": 140.5})", {{3, 0}}},
        {R"({"channel": 3, "pos": "140"})", {{3, 0}}},
        {R"({"channel": 16, "pos": -7})", {{16, -7}}},
        {R"({"channel": 20, "pwm": 100})", {}},
        {R"({"channel": -1, "pwm": 100})", {}},
        {R"({"channel": "4", "pwm": 100})", {}},
        {R"({"channel": 1.5, "pwm": 100})", {}},
        {R"({"servos": [160, 161, 141]})", {{0, 160}, {1, 161}, {2, 141}}},
        {R"({"servos": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19]})", firstChannels(17, 1)},
        {R"({"servos": [1, "x", null, 2.5, true]})", {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}},
        {R"({"servos": []})", {}},
        {R"({"servos": "x"})", {}},
        // "channel" without "pos"/"pwm" falls through to the "servos" rule.
        {R"({"channel": 2, "servos": [5]})", {{0, 5}}},
        {R"({"channel": 2})", {}},
        {R"([100, 101])", {{0, 100}, {1, 101}}},
        {R"([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18])", firstChannels(17, 1)},
        {R"([])", {}},
        {R"("text")", {}},
        {R"(42)", {}},
        {R"({"channel": 4, "pos": 150)", {}},
        {"", {}},
        {"not json at all", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decoded(text(c.json)), c.expected) << c.json;
}

TEST(RobotFrame, CommandFramesAreSixBytes)
{
    using robot_frame::commandFrame;
    const auto center = commandFrame(robot_frame::kCenter);
    EXPECT_EQ(Bytes(center.begin(), center.end()), (Bytes{0x4B, 0x53, 0x42, 0x31, 0x03, 0x00}));
    EXPECT_EQ(commandFrame(robot_frame::kRelax)[4], 0x05);
    EXPECT_EQ(commandFrame(robot_frame::kStop)[4], 0x02);
}

TEST(RobotFrame, SetPwmFrameHoldsTwentyFourServos)
{
    robot_frame::SetPwmFrame frame;
    ASSERT_TRUE(frame.appendServo(4, 150));
    ASSERT_TRUE(frame.finish());
    EXPECT_EQ(Bytes(frame.data(), frame.data() + frame.size()),
              (Bytes{0x4B, 0x53, 0x42, 0x31, 0x08, 0x05, 0x03, 0x03, 0x04, 0x96, 0x00}));

    robot_frame::SetPwmFrame full;
    for (int i = 0; i < 24; ++i)
        ASSERT_TRUE(full.appendServo(static_cast<uint8_t>(i % 17), 270)) << i;
    EXPECT_FALSE(full.appendServo(0, 1));
    EXPECT_EQ(full.servoCount(), 24u);
    ASSERT_TRUE(full.finish());
    EXPECT_EQ(full.data()[5], 120);
}

TEST(RobotId, NormalisationAndTopics)
{
    const struct {
        const char* input;
        const char* id;
    } cases[] = {
        {"robot/kestro/QRX-ab12/status", "QRX-ab12"},
        {"QRX-ab12//", "QRX-ab12"},
        {"arm1/control/", "arm1"},
        {"a/status/control", "a/status"},
        {"/status", "kestro"},
        {"", "kestro"},
        {"robot/kestro/", "kestro"},
        {"robot/kestro/robot/kestro/x", "robot/kestro/x"},
        {"robot/other/x", "robot/other/x"},
        {"x/control/status", "x/control"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MqttClient::normalizeRobotId(QString::fromUtf8(c.input)).toStdString(), c.id) << c.input;

    MqttClient client;
    EXPECT_EQ(client.sanitizedId(), "kestro");
    EXPECT_EQ(client.controlTopic(), "robot/kestro/kestro/control");
    client.setRobotId("robot/kestro/QRX-ab12/status");
    EXPECT_EQ(client.controlTopic(), "robot/kestro/QRX-ab12/control");
    EXPECT_EQ(client.statusTopic(), "robot/kestro/QRX-ab12/status");
}
