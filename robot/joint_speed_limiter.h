#pragma once

#include "robot/joint_set.h"

// Moves each commanded joint toward its target by at most the distance the
// speed limit allows in one transmit period, so that a jump in the target
// (a new person, a glitch in the pose, a preset switched on) reaches the
// robot as a ramp and never as a step. The ramp starts from the last value
// actually commanded.
class JointSpeedLimiter
{
public:
    // Largest change per tick, in radians, for a speed in degrees per second
    // and a tick length in milliseconds; infinite when the speed is 0 or
    // negative (no limit) or not a number.
    static double maxStepRad(double maxVelocityDegS, int periodMs);

    // Forgets the ramp: the next steps start from `commanded`.
    void reset(const JointAngleArray& commanded) { m_commanded = commanded; }
    const JointAngleArray& commanded() const { return m_commanded; }

    // The angles one tick further toward `target` for the channels in
    // `channels`; the others keep their commanded value. Nothing is stored:
    // commit() records what was really sent.
    JointAngleArray step(const JointAngleArray& target, const ServoValidArray& channels, double maxStep) const;
    void commit(const JointAngleArray& sent) { m_commanded = sent; }

private:
    JointAngleArray m_commanded{};
};
