#pragma once

#include "mqtt/robot_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The robot's side of the control protocol, without any networking: it
// decodes control frames, keeps 17 servos moving toward their targets at a
// bounded speed and encodes the positions as telemetry.
class RobotSimulator
{
public:
    static constexpr int kChannelCount = 17;
    // The dashboard limits every value it sends to this range; a robot must
    // not trust the sender to have done so.
    static constexpr int kMinPwm = robot_frame::kPwmMin;
    static constexpr int kMaxPwm = robot_frame::kPwmMax;

    enum class Mode
    {
        Active,  // following set-PWM targets
        Relaxed, // torque off: holding where the servos were
        Stopped, // emergency stop: set-PWM ignored until a centre command
    };

    enum class FrameKind
    {
        SetPwm,
        Centre,
        Relax,
        Stop,
        Ignored,   // a well-formed frame the robot has no use for
        Malformed, // see `FrameResult::error`
    };

    struct FrameResult
    {
        FrameKind kind = FrameKind::Malformed;
        int channelsSet = 0;
        // A set-PWM frame that arrived while stopped; true only for the
        // first one after each stop, so the operator is told once.
        bool firstRejectedWhileStopped = false;
        bool rejectedWhileStopped = false;
        std::string error;
    };

    RobotSimulator(const std::array<int, kChannelCount>& centres, double speedPwmPerSecond);

    FrameResult applyControlFrame(const uint8_t* data, size_t size);

    // Moves every servo toward its target by at most speed × seconds.
    void advance(double seconds);

    Mode mode() const { return m_mode; }
    std::array<int, kChannelCount> positions() const;
    const std::array<double, kChannelCount>& targets() const { return m_targets; }

    std::vector<uint8_t> binaryTelemetry() const;
    std::string jsonTelemetry() const;

private:
    FrameResult applySetPwm(const uint8_t* body, size_t length);
    void holdWhereTheyAre();

    std::array<int, kChannelCount> m_centres;
    double m_speed;
    std::array<double, kChannelCount> m_positions{};
    std::array<double, kChannelCount> m_targets{};
    Mode m_mode = Mode::Active;
    bool m_rejectionReported = false;
};
