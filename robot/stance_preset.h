#pragma once

#include "robot/joint_set.h"

#include <string>

// What the legs hold while the operator streams the upper body: the retargeter
// never drives the ankles and hips (one camera cannot tell how the operator's
// weight sits on the legs), and the knees only in full-body mode. A preset
// gives each of those channels a fixed angle.
struct StancePreset
{
    static constexpr const char* kNeutral = "neutral";
    static constexpr const char* kCombat = "combat";

    std::string name;
    // Angles of the leg channels (radians); 0 for the others.
    JointAngleArray angles{};

    // The preset of that name; an unknown name gives "neutral", with one
    // line on standard error.
    static StancePreset named(const std::string& name);

    // The leg channels a preset sets in a retargeting mode: every ankle and
    // hip channel, and the knees unless the mode tracks them.
    static ServoValidArray heldChannels(const std::string& mode);
};
