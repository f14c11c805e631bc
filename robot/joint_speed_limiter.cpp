#include "robot/joint_speed_limiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

double JointSpeedLimiter::maxStepRad(double maxVelocityDegS, int periodMs)
{
    if (!(maxVelocityDegS > 0.0) || std::isinf(maxVelocityDegS))
        return std::numeric_limits<double>::infinity();
    return maxVelocityDegS * kPi / 180.0 * std::max(periodMs, 0) / 1000.0;
}

JointAngleArray JointSpeedLimiter::step(const JointAngleArray& target, const ServoValidArray& channels,
                                        double maxStep) const
{
    JointAngleArray next = m_commanded;
    for (int channel = 0; channel < kServoCount; ++channel) {
        // A target that is not a number would poison the ramp: hold instead.
        if (!channels[channel] || !std::isfinite(target[channel]))
            continue;
        const double from = m_commanded[channel];
        next[channel] = std::clamp(target[channel], from - maxStep, from + maxStep);
    }
    return next;
}
