#pragma once

#include "robot/joint_set.h"
#include "robot/joint_speed_limiter.h"
#include "robot/stance_preset.h"
#include "robot/urdf_limits.h"

#include <cstdint>
#include <optional>
#include <string>

// The commanded robot state between the sources of motion (the camera pose,
// or any other caller of setTarget) and the wire. It holds the latest target,
// decides on each transmit tick whether anything may be sent (a target
// exists and is younger than the watchdog time), adds the stance preset's
// leg angles, and moves every channel toward its target no faster than the
// speed limit allows. The caller sends the frame and commits it once the
// robot link accepted it, so the next ramp starts from what was really sent.
// One owner thread; no locking.
class MotionStream
{
public:
    // What a tick would do with the state as it is.
    enum class State { NoTarget, Stale, Fresh };

    // Values of the settings that the stream reads on every tick.
    struct Settings
    {
        int periodMs = 33;
        int watchdogTimeoutMs = 500;
        double maxVelocityDegS = 180.0;
        double safetyMarginDeg = 2.0;
        std::string mode = "upper_body";
        std::string stancePreset = StancePreset::kNeutral;
    };

    struct Frame
    {
        JointAngleArray angles{};
        ServoPwmArray pwm{};
        ServoValidArray channels{};
    };

    // The limits are the process-wide service unless a test supplies its own.
    explicit MotionStream(const UrdfLimits& limits = *UrdfLimits::instance());

    // The robot stands at its calibration centres (start-up, after Center):
    // the commanded state goes there, and ramps start from there.
    void centre();

    // A new target for the channels flagged in `channels` (angles already
    // clamped by the source). A target that drives no channel is no evidence
    // of a person and leaves the watchdog running down; returns whether the
    // target was taken.
    bool setTarget(const JointAngleArray& angles, const ServoValidArray& channels, std::int64_t nowMs);

    State state(std::int64_t nowMs, int watchdogTimeoutMs) const;

    // The frame this tick sends, or nothing while there is no fresh target.
    std::optional<Frame> nextFrame(std::int64_t nowMs, const Settings& settings);
    // The robot link accepted `frame`.
    void commit(const Frame& frame);

    bool hasTarget() const { return m_hasTarget; }
    // Monotonic time of the last target taken (meaningful once hasTarget()).
    std::int64_t lastTargetMs() const { return m_lastTargetMs; }
    const JointAngleArray& targetAngles() const { return m_targetAngles; }
    const ServoValidArray& targetChannels() const { return m_targetChannels; }
    const JointAngleArray& commandedAngles() const { return m_limiter.commanded(); }
    const ServoPwmArray& commandedPwm() const { return m_commandedPwm; }

private:
    const StancePreset& preset(const std::string& name);

    const UrdfLimits& m_limits;
    JointSpeedLimiter m_limiter;
    ServoPwmArray m_commandedPwm{};
    JointAngleArray m_targetAngles{};
    ServoValidArray m_targetChannels{};
    bool m_hasTarget = false;
    std::int64_t m_lastTargetMs = 0;
    // Looked up again only when the configured name changes, so an unknown
    // name is reported once, not on every tick.
    StancePreset m_preset = StancePreset::named(StancePreset::kNeutral);
};
