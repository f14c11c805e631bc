#include "tools/robot-sim/robot_simulator.h"

#include "mqtt/robot_frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using robot_frame::kHeaderSize;
using robot_frame::kMagic;
constexpr uint8_t kTypeTelemetry = robot_frame::kTelemetry;
constexpr uint8_t kTypeStop = robot_frame::kStop;
constexpr uint8_t kTypeCentre = robot_frame::kCenter;
constexpr uint8_t kTypeRelax = robot_frame::kRelax;
constexpr uint8_t kTypeSetPwm = robot_frame::kSetPwm;
constexpr uint8_t kTlvServoPwm = robot_frame::kServoPwmTlv;
constexpr uint8_t kServoTlvLength = robot_frame::kServoPwmTlvLength;

RobotSimulator::FrameResult malformed(std::string why)
{
    RobotSimulator::FrameResult result;
    result.kind = RobotSimulator::FrameKind::Malformed;
    result.error = std::move(why);
    return result;
}

RobotSimulator::FrameResult command(RobotSimulator::FrameKind kind)
{
    RobotSimulator::FrameResult result;
    result.kind = kind;
    return result;
}

} // namespace

RobotSimulator::RobotSimulator(const std::array<int, kChannelCount>& centres, double speedPwmPerSecond)
    : m_centres(centres)
    , m_speed(speedPwmPerSecond)
{
    for (int ch = 0; ch < kChannelCount; ++ch) {
        m_positions[ch] = centres[ch];
        m_targets[ch] = centres[ch];
    }
}

RobotSimulator::FrameResult RobotSimulator::applyControlFrame(const uint8_t* data, size_t size)
{
    if (size < kHeaderSize)
        return malformed("frame of " + std::to_string(size) + " bytes is shorter than its header");
    if (std::memcmp(data, kMagic.data(), kMagic.size()) != 0)
        return malformed("bad magic");
    const size_t bodyLength = data[5];
    if (kHeaderSize + bodyLength != size) {
        return malformed("length byte says " + std::to_string(bodyLength) + " body bytes, frame has "
                         + std::to_string(size - kHeaderSize));
    }

    switch (data[4]) {
    case kTypeSetPwm:
        return applySetPwm(data + kHeaderSize, bodyLength);
    case kTypeCentre:
        m_mode = Mode::Active;
        m_rejectionReported = false;
        for (int ch = 0; ch < kChannelCount; ++ch)
            m_targets[ch] = m_centres[ch];
        return command(FrameKind::Centre);
    case kTypeRelax:
        // A relaxed robot stays relaxed under a stop latch: only centre
        // re-arms a stopped robot.
        if (m_mode != Mode::Stopped)
            m_mode = Mode::Relaxed;
        holdWhereTheyAre();
        return command(FrameKind::Relax);
    case kTypeStop:
        m_mode = Mode::Stopped;
        m_rejectionReported = false;
        holdWhereTheyAre();
        return command(FrameKind::Stop);
    case kTypeTelemetry:
        // Our own telemetry type on the control topic is not a command.
        return command(FrameKind::Ignored);
    default:
        return malformed("unknown frame type " + std::to_string(data[4]));
    }
}

RobotSimulator::FrameResult RobotSimulator::applySetPwm(const uint8_t* body, size_t length)
{
    // Validate the whole frame before applying any of it, so that a damaged
    // frame never moves some servos and not others.
    std::array<int, kChannelCount> values{};
    std::array<bool, kChannelCount> present{};
    size_t offset = 0;
    while (offset < length) {
        if (length - offset < 2)
            return malformed("truncated TLV header at body offset " + std::to_string(offset));
        const uint8_t type = body[offset];
        const size_t valueLength = body[offset + 1];
        if (length - offset - 2 < valueLength)
            return malformed("truncated TLV value at body offset " + std::to_string(offset));
        const uint8_t* value = body + offset + 2;
        if (type == kTlvServoPwm) {
            if (valueLength != kServoTlvLength)
                return malformed("servo TLV of length " + std::to_string(valueLength));
            const int channel = value[0];
            if (channel >= kChannelCount)
                return malformed("channel " + std::to_string(channel) + " out of range");
            const auto pwm = static_cast<int16_t>(static_cast<uint16_t>(value[1] | (value[2] << 8)));
            values[channel] = std::clamp<int>(pwm, kMinPwm, kMaxPwm);
            present[channel] = true;
        }
        offset += 2 + valueLength;
    }

    FrameResult result = command(FrameKind::SetPwm);
    if (m_mode == Mode::Stopped) {
        result.rejectedWhileStopped = true;
        result.firstRejectedWhileStopped = !m_rejectionReported;
        m_rejectionReported = true;
        return result;
    }
    m_mode = Mode::Active;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (present[ch]) {
            m_targets[ch] = values[ch];
            ++result.channelsSet;
        }
    }
    return result;
}

void RobotSimulator::holdWhereTheyAre()
{
    for (int ch = 0; ch < kChannelCount; ++ch) {
        m_positions[ch] = std::round(m_positions[ch]);
        m_targets[ch] = m_positions[ch];
    }
}

void RobotSimulator::advance(double seconds)
{
    if (m_mode != Mode::Active)
        return;
    const double step = std::max(0.0, m_speed * seconds);
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double delta = m_targets[ch] - m_positions[ch];
        m_positions[ch] += std::clamp(delta, -step, step);
    }
}

std::array<int, RobotSimulator::kChannelCount> RobotSimulator::positions() const
{
    std::array<int, kChannelCount> result{};
    for (int ch = 0; ch < kChannelCount; ++ch)
        result[ch] = static_cast<int>(std::lround(m_positions[ch]));
    return result;
}

std::vector<uint8_t> RobotSimulator::binaryTelemetry() const
{
    std::vector<uint8_t> frame(kMagic.begin(), kMagic.end());
    frame.push_back(kTypeTelemetry);
    frame.push_back(static_cast<uint8_t>(kChannelCount * (2 + kServoTlvLength)));
    const auto current = positions();
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const auto value = static_cast<uint16_t>(static_cast<int16_t>(current[ch]));
        frame.insert(frame.end(), {kTlvServoPwm, kServoTlvLength, static_cast<uint8_t>(ch),
                                   static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
    }
    return frame;
}

std::string RobotSimulator::jsonTelemetry() const
{
    std::string json = "{\"servos\": [";
    const auto current = positions();
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (ch > 0)
            json += ", ";
        json += std::to_string(current[ch]);
    }
    json += "]}";
    return json;
}
