#include "vision/demo_script.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

double degrees(double value)
{
    return value * kPi / 180.0;
}

// A sine of `cycles` whole cycles per loop around `middle`, in degrees.
double swing(double seconds, double middle, double amplitude, int cycles, double phase)
{
    return degrees(middle + amplitude * std::sin(2.0 * kPi * cycles * seconds / DemoScript::kLoopSeconds + phase));
}

} // namespace

DemoJointAngles DemoScript::at(double seconds)
{
    const double t = std::fmod(seconds, kLoopSeconds);
    // Ranges a person reaches without strain, and speeds below 80 deg/s so
    // that a 30 fps camera sees every pose; the arms move at different
    // rates so that no two channels are copies of each other.
    DemoJointAngles angles;
    angles.leftShoulder = swing(t, 85.0, 45.0, 1, 0.0);
    angles.rightShoulder = swing(t, 105.0, 35.0, 1, 2.1);
    angles.leftElbow = swing(t, 50.0, 40.0, 2, 0.7);
    angles.rightElbow = swing(t, 45.0, 35.0, 3, 2.0);
    angles.headTilt = swing(t, 0.0, 10.0, 2, 1.3);
    return angles;
}
