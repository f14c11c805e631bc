#include "robot/stance_preset.h"

#include <cstdio>

namespace {

constexpr double degrees(double value)
{
    return value * kPi / 180.0;
}

// A ready stance: every pitch axis of the leg turns the same way, so a foot
// stays flat when hip, knee and ankle pitch add up to zero; with the thigh
// and shin of equal length, hip and ankle taking half the knee's bend each
// keeps the hip straight above the ankle. 24 degrees leaves the hip pitch
// inside its range even with the dialog's largest safety margin (15
// degrees off a -40 degree end). The rolls open the base a little and the
// ankles turn back by as much, so the soles stay level.
constexpr double kCombatHipPitch = degrees(-24.0);
constexpr double kCombatKneePitch = degrees(48.0);
constexpr double kCombatAnklePitch = degrees(-24.0);
constexpr double kCombatHipRollOut = degrees(6.0);

constexpr const char* kFullBodyMode = "full_body";

JointAngleArray combatAngles()
{
    using namespace ServoChannel;
    JointAngleArray angles{};
    angles[LeftHipPitch] = angles[RightHipPitch] = kCombatHipPitch;
    angles[LeftKneePitch] = angles[RightKneePitch] = kCombatKneePitch;
    angles[LeftAnklePitch] = angles[RightAnklePitch] = kCombatAnklePitch;
    // Outward is the positive roll on the left leg, the negative on the right.
    angles[LeftHipRoll] = kCombatHipRollOut;
    angles[LeftAnkleRoll] = -kCombatHipRollOut;
    angles[RightHipRoll] = -kCombatHipRollOut;
    angles[RightAnkleRoll] = kCombatHipRollOut;
    return angles;
}

} // namespace

StancePreset StancePreset::named(const std::string& name)
{
    if (name == kCombat)
        return {kCombat, combatAngles()};
    if (name != kNeutral)
        std::fprintf(stderr, "StancePreset: unknown preset \"%s\", using \"neutral\"\n", name.c_str());
    // The calibrated standing pose: every leg joint at its zero.
    return {kNeutral, JointAngleArray{}};
}

ServoValidArray StancePreset::heldChannels(const std::string& mode)
{
    using namespace ServoChannel;
    ServoValidArray held{};
    for (int channel : {LeftAnkleRoll, LeftAnklePitch, LeftHipPitch, LeftHipRoll, RightHipRoll, RightHipPitch,
                        RightAnklePitch, RightAnkleRoll})
        held[channel] = true;
    if (mode != kFullBodyMode)
        held[LeftKneePitch] = held[RightKneePitch] = true;
    return held;
}
