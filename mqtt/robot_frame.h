#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The binary robot frame: "KSB1", a frame type, a body length n and n bytes
// of TLV records. It is the payload of every control message and of binary
// telemetry; multi-byte values are little-endian.
namespace robot_frame {

inline constexpr std::array<uint8_t, 4> kMagic{'K', 'S', 'B', '1'};
inline constexpr size_t kHeaderSize = 6;
// A set-PWM frame is assembled in a buffer of this size: 24 servo TLVs fit,
// and a full 17-channel frame takes 91 bytes.
inline constexpr size_t kFrameBufferSize = 128;

enum FrameType : uint8_t {
    kTelemetry = 1,
    kStop = 2,
    kCenter = 3,
    kRelax = 5,
    kSetPwm = 8,
};

inline constexpr uint8_t kServoPwmTlv = 3;
inline constexpr uint8_t kServoPwmTlvLength = 3;
inline constexpr size_t kServoTlvSize = 2 + kServoPwmTlvLength;

// Servo PWM values the firmware accepts; anything outside is clamped.
inline constexpr int kPwmMin = 1;
inline constexpr int kPwmMax = 270;

// A command frame (stop, centre, relax): header only, empty body.
std::array<uint8_t, kHeaderSize> commandFrame(FrameType type);

// Builds one set-PWM frame in its fixed buffer.
class SetPwmFrame
{
public:
    SetPwmFrame();
    // False when the record would not fit the frame buffer.
    bool appendServo(uint8_t channel, int16_t pwm);
    // Writes the body length; false when it does not fit its byte.
    bool finish();
    size_t servoCount() const { return m_servoCount; }
    const uint8_t* data() const { return m_bytes.data(); }
    size_t size() const { return m_size; }

private:
    std::array<uint8_t, kFrameBufferSize> m_bytes{};
    size_t m_size = kHeaderSize;
    size_t m_servoCount = 0;
};

} // namespace robot_frame
