#include "robot/motion_stream.h"

MotionStream::MotionStream(const UrdfLimits& limits) : m_limits(limits)
{
    centre();
}

void MotionStream::centre()
{
    JointAngleArray centres{};
    for (int channel = 0; channel < kServoCount; ++channel) {
        m_commandedPwm[channel] = m_limits.getCalibration(channel).center;
        centres[channel] = m_limits.pwmToAngle(channel, m_commandedPwm[channel]);
    }
    m_limiter.reset(centres);
}

bool MotionStream::setTarget(const JointAngleArray& angles, const ServoValidArray& channels, std::int64_t nowMs)
{
    bool any = false;
    for (bool flag : channels)
        any = any || flag;
    if (!any)
        return false;
    m_targetAngles = angles;
    m_targetChannels = channels;
    m_hasTarget = true;
    m_lastTargetMs = nowMs;
    return true;
}

MotionStream::State MotionStream::state(std::int64_t nowMs, int watchdogTimeoutMs) const
{
    if (!m_hasTarget)
        return State::NoTarget;
    return nowMs - m_lastTargetMs > watchdogTimeoutMs ? State::Stale : State::Fresh;
}

const StancePreset& MotionStream::preset(const std::string& name)
{
    if (name != m_preset.name)
        m_preset = StancePreset::named(name);
    return m_preset;
}

std::optional<MotionStream::Frame> MotionStream::nextFrame(std::int64_t nowMs, const Settings& settings)
{
    if (state(nowMs, settings.watchdogTimeoutMs) != State::Fresh)
        return std::nullopt;

    Frame frame;
    JointAngleArray goal = m_targetAngles;
    frame.channels = m_targetChannels;
    const ServoValidArray held = StancePreset::heldChannels(settings.mode);
    const StancePreset& stance = preset(settings.stancePreset);
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (held[channel]) {
            goal[channel] = stance.angles[channel];
            frame.channels[channel] = true;
        }
        goal[channel] = m_limits.clamp(channel, goal[channel], settings.safetyMarginDeg);
    }

    frame.angles = m_limiter.step(goal, frame.channels,
                                  JointSpeedLimiter::maxStepRad(settings.maxVelocityDegS, settings.periodMs));
    for (int channel = 0; channel < kServoCount; ++channel) {
        // Without the margin: a robot that starts at a centre outside the safe
        // range (a roll joint's centre is its end stop) ramps into it at the
        // speed limit rather than jumping by the margin.
        frame.pwm[channel] = frame.channels[channel] ? m_limits.angleToPwm(channel, frame.angles[channel], 0.0)
                                                     : m_commandedPwm[channel];
    }
    return frame;
}

void MotionStream::commit(const Frame& frame)
{
    m_limiter.commit(frame.angles);
    m_commandedPwm = frame.pwm;
}
