#pragma once

#include <array>

// The robot's 17 servo channels and the per-channel array types that every
// module (retargeting, robot link, telemetry table, 3D view) shares. An array
// is always indexed by channel number.
inline constexpr int kServoCount = 17;

// Channel numbers as the robot's firmware addresses them: left leg from the
// ankle up, left arm from the shoulder down, right arm from the elbow up,
// right leg from the hip down, then the head.
// Used as ServoChannel::HeadYaw; converts to int for array indexing.
namespace ServoChannel {
enum : int {
    LeftAnkleRoll = 0,
    LeftAnklePitch = 1,
    LeftKneePitch = 2,
    LeftHipPitch = 3,
    LeftHipRoll = 4,
    LeftShoulderPitch = 5,
    LeftShoulderRoll = 6,
    LeftElbow = 7,
    RightElbow = 8,
    RightShoulderRoll = 9,
    RightShoulderPitch = 10,
    RightHipRoll = 11,
    RightHipPitch = 12,
    RightKneePitch = 13,
    RightAnklePitch = 14,
    RightAnkleRoll = 15,
    HeadYaw = 16,
};
} // namespace ServoChannel

using ServoPwmArray = std::array<int, kServoCount>;
using ServoValidArray = std::array<bool, kServoCount>;
using JointAngleArray = std::array<double, kServoCount>;

// The one value of pi used by every conversion, so that degrees and radians
// round-trip identically everywhere.
inline constexpr double kPi = 3.141592653589793;

inline constexpr bool isServoChannel(int channel)
{
    return channel >= 0 && channel < kServoCount;
}
