#include "tools/robot-sim/robot_simulator.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const std::array<int, 17> kCentres = {160, 161, 141, 168, 158, 158, 252, 159, 163,
                                      69,  163, 161, 129, 150, 165, 162, 90};

Bytes frame(uint8_t type, const Bytes& body)
{
    Bytes bytes = {'K', 'S', 'B', '1', type, static_cast<uint8_t>(body.size())};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

Bytes servo(int channel, int pwm)
{
    const auto value = static_cast<uint16_t>(static_cast<int16_t>(pwm));
    return {3, 3, static_cast<uint8_t>(channel), static_cast<uint8_t>(value & 0xFF),
            static_cast<uint8_t>(value >> 8)};
}

Bytes setPwm(const std::vector<std::pair<int, int>>& channels)
{
    Bytes body;
    for (const auto& [channel, pwm] : channels) {
        const Bytes tlv = servo(channel, pwm);
        body.insert(body.end(), tlv.begin(), tlv.end());
    }
    return frame(8, body);
}

RobotSimulator::FrameResult applyFrame(RobotSimulator& robot, const Bytes& bytes)
{
    return robot.applyControlFrame(bytes.data(), bytes.size());
}

} // namespace

TEST(RobotSimulator, StartsAtTheCalibrationCentres)
{
    RobotSimulator robot(kCentres, 300);
    EXPECT_EQ(robot.positions(), kCentres);
    robot.advance(1.0);
    EXPECT_EQ(robot.positions(), kCentres);
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Active);
}

TEST(RobotSimulator, SetPwmLimitsValuesLikeTheDashboard)
{
    RobotSimulator robot(kCentres, 300);
    const auto result = applyFrame(robot, setPwm({{0, 0}, {1, -5}, {2, 300}, {3, 200}, {16, 270}, {5, 1}}));
    EXPECT_EQ(result.kind, RobotSimulator::FrameKind::SetPwm);
    EXPECT_EQ(result.channelsSet, 6);
    EXPECT_EQ(robot.targets()[0], 1);
    EXPECT_EQ(robot.targets()[1], 1);
    EXPECT_EQ(robot.targets()[2], 270);
    EXPECT_EQ(robot.targets()[3], 200);
    EXPECT_EQ(robot.targets()[16], 270);
    EXPECT_EQ(robot.targets()[5], 1);
    EXPECT_EQ(robot.targets()[4], kCentres[4]); // not carried, unchanged
}

TEST(RobotSimulator, MovesAtTheConfiguredSpeedAndSettles)
{
    RobotSimulator robot(kCentres, 300);
    applyFrame(robot, setPwm({{3, 228}, {16, 30}}));
    robot.advance(0.05); // 15 PWM units at 300 units/s
    EXPECT_EQ(robot.positions()[3], 183);
    EXPECT_EQ(robot.positions()[16], 75);
    robot.advance(0.1);
    EXPECT_EQ(robot.positions()[3], 213);
    EXPECT_EQ(robot.positions()[16], 45);
    robot.advance(10.0);
    EXPECT_EQ(robot.positions()[3], 228);
    EXPECT_EQ(robot.positions()[16], 30);
    robot.advance(-1.0); // a clock running backwards never moves a servo
    EXPECT_EQ(robot.positions()[3], 228);
}

TEST(RobotSimulator, StopLatchesUntilCentre)
{
    RobotSimulator robot(kCentres, 100);
    applyFrame(robot, setPwm({{7, 259}}));
    robot.advance(0.5); // halfway: 159 -> 209
    ASSERT_EQ(applyFrame(robot, frame(2, {})).kind, RobotSimulator::FrameKind::Stop);
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Stopped);
    robot.advance(1.0);
    EXPECT_EQ(robot.positions()[7], 209);

    const auto first = applyFrame(robot, setPwm({{7, 100}}));
    EXPECT_TRUE(first.rejectedWhileStopped);
    EXPECT_TRUE(first.firstRejectedWhileStopped);
    const auto second = applyFrame(robot, setPwm({{7, 100}}));
    EXPECT_TRUE(second.rejectedWhileStopped);
    EXPECT_FALSE(second.firstRejectedWhileStopped);
    robot.advance(1.0);
    EXPECT_EQ(robot.positions()[7], 209);

    // Relax does not undo a stop either.
    applyFrame(robot, frame(5, {}));
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Stopped);

    ASSERT_EQ(applyFrame(robot, frame(3, {})).kind, RobotSimulator::FrameKind::Centre);
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Active);
    robot.advance(10.0);
    EXPECT_EQ(robot.positions(), kCentres);
    EXPECT_FALSE(applyFrame(robot, setPwm({{7, 100}})).rejectedWhileStopped);

    // A second stop reports its first rejected frame again.
    applyFrame(robot, frame(2, {}));
    EXPECT_TRUE(applyFrame(robot, setPwm({{7, 100}})).firstRejectedWhileStopped);
}

TEST(RobotSimulator, RelaxHoldsUntilTheNextCommand)
{
    RobotSimulator robot(kCentres, 100);
    applyFrame(robot, setPwm({{10, 263}}));
    robot.advance(0.3); // 163 -> 193
    applyFrame(robot, frame(5, {}));
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Relaxed);
    robot.advance(5.0);
    EXPECT_EQ(robot.positions()[10], 193);

    applyFrame(robot, setPwm({{10, 203}}));
    EXPECT_EQ(robot.mode(), RobotSimulator::Mode::Active);
    robot.advance(5.0);
    EXPECT_EQ(robot.positions()[10], 203);
}

TEST(RobotSimulator, MalformedFramesChangeNothing)
{
    Bytes truncatedValue = setPwm({{4, 150}});
    truncatedValue.pop_back();
    truncatedValue[5] = static_cast<uint8_t>(truncatedValue.size() - 6);
    Bytes badLength = setPwm({{4, 150}});
    badLength[5] = 4;
    const Bytes partlyBad = setPwm({{4, 150}, {17, 150}});
    const struct
    {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"short header", {'K', 'S', 'B', '1', 8}},
        {"bad magic", {'K', 'S', 'B', '2', 3, 0}},
        {"length byte too large", {'K', 'S', 'B', '1', 3, 1}},
        {"length byte mismatch", badLength},
        {"unknown type", frame(9, {})},
        {"truncated TLV value", truncatedValue},
        {"truncated TLV header", frame(8, {3})},
        {"servo TLV of wrong length", frame(8, {3, 2, 4, 150})},
        {"channel above 16", setPwm({{17, 150}})},
        {"one bad channel spoils the frame", partlyBad},
    };
    for (const auto& c : cases) {
        RobotSimulator robot(kCentres, 300);
        const auto result = applyFrame(robot, c.bytes);
        EXPECT_EQ(result.kind, RobotSimulator::FrameKind::Malformed) << c.what;
        EXPECT_FALSE(result.error.empty()) << c.what;
        robot.advance(10.0);
        EXPECT_EQ(robot.positions(), kCentres) << c.what;
    }
}

TEST(RobotSimulator, SkipsUnknownTlvTypesInsideAGoodFrame)
{
    RobotSimulator robot(kCentres, 300);
    Bytes body = {9, 2, 0xAA, 0xBB};
    const Bytes tlv = servo(4, 150);
    body.insert(body.end(), tlv.begin(), tlv.end());
    const auto result = applyFrame(robot, frame(8, body));
    EXPECT_EQ(result.kind, RobotSimulator::FrameKind::SetPwm);
    EXPECT_EQ(result.channelsSet, 1);
    EXPECT_EQ(robot.targets()[4], 150);
}

TEST(RobotSimulator, TelemetryCarriesAllSeventeenPositions)
{
    RobotSimulator robot(kCentres, 300);
    const Bytes binary = robot.binaryTelemetry();
    ASSERT_EQ(binary.size(), 91u);
    EXPECT_EQ(Bytes(binary.begin(), binary.begin() + 6), (Bytes{'K', 'S', 'B', '1', 1, 85}));
    for (int ch = 0; ch < 17; ++ch) {
        const Bytes expected = servo(ch, kCentres[ch]);
        EXPECT_EQ(Bytes(binary.begin() + 6 + 5 * ch, binary.begin() + 11 + 5 * ch), expected) << ch;
    }
    EXPECT_EQ(robot.jsonTelemetry(), "{\"servos\": [160, 161, 141, 168, 158, 158, 252, 159, 163, "
                                     "69, 163, 161, 129, 150, 165, 162, 90]}");
}
