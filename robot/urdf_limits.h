#pragma once

#include "robot/joint_set.h"

#include <QByteArray>

#include <array>
#include <atomic>
#include <map>
#include <string>

// Per-channel joint limits and servo calibration, and the conversions between
// joint angles (radians) and servo PWM values. One process-wide instance,
// built with uniform fallback rows during static initialisation and filled
// once by init() from the embedded URDF model and calibration table; after
// that it is read-only and used from the GUI thread.
class UrdfLimits
{
public:
    struct JointLimit
    {
        std::string name;
        int channel = 0;
        double lower = -kPi;
        double upper = kPi;
    };

    struct ChannelCalibration
    {
        std::string name;
        int channel = 0;
        int center = 135;      // PWM at joint angle 0
        double sign = 1.0;     // direction factor, applied as a multiplier
        double radPerPwm = kPi / 180.0;
        double lower = -kPi;   // range used by clamping and conversion
        double upper = kPi;
    };

    // Tests and tools may build their own; the dashboard uses instance().
    UrdfLimits();
    UrdfLimits(const UrdfLimits&) = delete;
    UrdfLimits& operator=(const UrdfLimits&) = delete;

    static UrdfLimits* instance();

    void populateFallbackLimits();

    // Loading (urdf_limits_loading.cpp). Paths go through Qt's file layer,
    // so ":/model/kestro.urdf" and ordinary file paths both work. Neither
    // fails outright: problems are one line on stderr and fallback rows stay.
    bool init(const std::string& urdfPath, const std::string& calibrationPath);
    bool loadCalibrationJson(const std::string& path);

    // The same loaders on bytes already in memory; sourceName only labels
    // the diagnostics. loadUrdfData returns false when the document was not
    // applied (not well-formed, no <robot>).
    bool loadCalibrationJsonData(const QByteArray& data, const std::string& sourceName);
    bool loadUrdfData(const QByteArray& data);

    bool isInitialized() const { return m_initialized; }

    bool hasLimit(int channel) const;
    JointLimit getLimit(int channel) const;
    const std::map<int, JointLimit>& getAllLimits() const { return m_limits; }

    bool hasCalibration(int channel) const;
    ChannelCalibration getCalibration(int channel) const;
    const std::map<int, ChannelCalibration>& getAllCalibrations() const { return m_calibrations; }

    double clamp(int channel, double angle, double safetyMarginDeg) const;
    int angleToPwm(int channel, double angle, double safetyMarginDeg) const;
    double pwmToAngle(int channel, int pwm) const;

    // The PWM value for a channel out of range (the servos' mid position).
    static constexpr int kDefaultCenterPwm = 135;

private:
    // The row the conversions use, without copying its name; a channel
    // without entry gets the default row.
    const ChannelCalibration& calibrationFor(int channel) const;
    double safeRangeClamp(const ChannelCalibration& calibration, double angle, double safetyMarginDeg) const;
    void warnDegenerateScaleOnce(int channel) const;

    std::map<int, JointLimit> m_limits;
    std::map<int, ChannelCalibration> m_calibrations;
    bool m_initialized = false;

    // A row whose scale cannot be inverted is reported once per channel, not
    // once per frame.
    mutable std::array<std::atomic<bool>, kServoCount> m_degenerateScaleReported{};
};
