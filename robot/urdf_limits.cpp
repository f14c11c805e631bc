#include "robot/urdf_limits.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>

namespace {

constexpr double kDegToRad = kPi / 180.0;

UrdfLimits::ChannelCalibration unknownCalibration(int channel)
{
    UrdfLimits::ChannelCalibration row;
    row.name = "unknown";
    row.channel = channel;
    return row;
}

} // namespace

UrdfLimits::UrdfLimits()
{
    populateFallbackLimits();
}

UrdfLimits* UrdfLimits::instance()
{
    // A function-local static, so that another static initialiser asking for
    // the service early still gets a constructed object.
    static UrdfLimits limits;
    return &limits;
}

namespace {
// Builds the service during static initialisation, before main runs.
[[maybe_unused]] UrdfLimits* const g_eagerInstance = UrdfLimits::instance();
} // namespace

void UrdfLimits::populateFallbackLimits()
{
    m_limits.clear();
    m_calibrations.clear();
    for (int channel = 0; channel < kServoCount; ++channel) {
        const std::string name = "joint_" + std::to_string(channel);
        ChannelCalibration calibration;
        calibration.name = name;
        calibration.channel = channel;
        m_calibrations[channel] = calibration;
        m_limits[channel] = JointLimit{name, channel, -kPi, kPi};
    }
}

bool UrdfLimits::hasLimit(int channel) const
{
    return isServoChannel(channel);
}

UrdfLimits::JointLimit UrdfLimits::getLimit(int channel) const
{
    const auto it = m_limits.find(channel);
    if (it != m_limits.end())
        return it->second;
    return JointLimit{"unknown", channel, -kPi, kPi};
}

bool UrdfLimits::hasCalibration(int channel) const
{
    return m_calibrations.count(channel) != 0;
}

UrdfLimits::ChannelCalibration UrdfLimits::getCalibration(int channel) const
{
    const auto it = m_calibrations.find(channel);
    if (it != m_calibrations.end())
        return it->second;
    return unknownCalibration(channel);
}

const UrdfLimits::ChannelCalibration& UrdfLimits::calibrationFor(int channel) const
{
    static const ChannelCalibration kUnknown = unknownCalibration(-1);
    const auto it = m_calibrations.find(channel);
    return it != m_calibrations.end() ? it->second : kUnknown;
}

double UrdfLimits::safeRangeClamp(const ChannelCalibration& calibration, double angle, double safetyMarginDeg) const
{
    // A NaN would pass both comparisons below untouched and reach the servo
    // as an arbitrary PWM; the joint's zero is the only neutral guess.
    if (std::isnan(angle))
        angle = 0.0;
    // A margin that is not a number would likewise disable clamping.
    if (!std::isfinite(safetyMarginDeg))
        safetyMarginDeg = 0.0;

    const double lo = std::min(calibration.lower, calibration.upper);
    const double hi = std::max(calibration.lower, calibration.upper);
    const double margin = safetyMarginDeg * kDegToRad;
    double safeLower = lo + margin;
    double safeUpper = hi - margin;
    if (safeUpper < safeLower) {
        // Too narrow for the margin at both ends: the joint range itself.
        safeLower = lo;
        safeUpper = hi;
    }
    return std::max(std::min(angle, safeUpper), safeLower);
}

double UrdfLimits::clamp(int channel, double angle, double safetyMarginDeg) const
{
    if (!isServoChannel(channel))
        return angle;
    return safeRangeClamp(calibrationFor(channel), angle, safetyMarginDeg);
}

int UrdfLimits::angleToPwm(int channel, double angle, double safetyMarginDeg) const
{
    if (!isServoChannel(channel))
        return kDefaultCenterPwm;
    const ChannelCalibration& calibration = calibrationFor(channel);
    const double safeAngle = safeRangeClamp(calibration, angle, safetyMarginDeg);
    const double step = calibration.radPerPwm * calibration.sign;
    const double units = safeAngle / step;
    if (step == 0.0 || !std::isfinite(units)) {
        // No usable scale: the servo stays at its centre rather than receiving
        // whatever a division by zero converts to.
        warnDegenerateScaleOnce(channel);
        return calibration.center;
    }
    const double pwm = std::round(units + calibration.center);
    // The joint range normally bounds the value; a bogus scale must still
    // not overflow the conversion to int.
    return static_cast<int>(std::clamp(pwm, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

double UrdfLimits::pwmToAngle(int channel, int pwm) const
{
    if (!isServoChannel(channel))
        return 0.0;
    const ChannelCalibration& calibration = calibrationFor(channel);
    const double angle = (static_cast<double>(pwm) - calibration.center) * calibration.radPerPwm * calibration.sign;
    const double lo = std::min(calibration.lower, calibration.upper);
    const double hi = std::max(calibration.lower, calibration.upper);
    if (lo == hi)
        return calibration.lower;
    return std::max(std::min(angle, hi), lo);
}

void UrdfLimits::warnDegenerateScaleOnce(int channel) const
{
    if (m_degenerateScaleReported[channel].exchange(true))
        return;
    std::cerr << "UrdfLimits: channel " << channel
              << " has a zero or unusable rad_per_pwm x sign; sending its centre PWM instead." << std::endl;
}
