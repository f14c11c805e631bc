// Feeds arbitrary bytes to both loaders of UrdfLimits: once as a calibration
// table, once as a URDF model over a table that names every joint. Whatever
// they accept, the conversions must stay inside the joint ranges and never
// overflow (the sanitizers watch the float-to-int conversions).
#include "robot/urdf_limits.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace {

// The loaders report every problem on stderr; at fuzzing speed that is noise.
const bool g_quiet = [] {
    std::cerr.rdbuf(nullptr);
    return true;
}();

const char* const kNamedTable = R"({"channels": {
  "0": {"name": "left_ankle_roll_joint"}, "1": {"name": "left_ankle_pitch_joint", "sign": -1.0},
  "2": {"name": "left_knee_pitch_joint"}, "3": {"name": "left_hip_pitch_joint", "center": 168},
  "4": {"name": "left_hip_roll_joint"}, "5": {"name": "left_shoulder_pitch_joint", "rad_per_pwm": 0.01823869},
  "6": {"name": "left_shoulder_roll_joint", "center": 252}, "7": {"name": "left_elbow_joint"},
  "8": {"name": "right_elbow_joint"}, "9": {"name": "right_shoulder_roll_joint", "center": 69},
  "10": {"name": "right_shoulder_pitch_joint"}, "11": {"name": "right_hip_roll_joint"},
  "12": {"name": "right_hip_pitch_joint"}, "13": {"name": "right_knee_pitch_joint"},
  "14": {"name": "right_ankle_pitch_joint"}, "15": {"name": "right_ankle_roll_joint"},
  "16": {"name": "head_yaw_joint", "center": 90}}})";

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkConversions(const UrdfLimits& limits)
{
    require(limits.getAllCalibrations().size() == static_cast<size_t>(kServoCount));
    require(limits.getAllLimits().size() == static_cast<size_t>(kServoCount));
    const double inf = std::numeric_limits<double>::infinity();
    const double angles[] = {0.0, -1.0, 2.5, 1e300, -inf, inf, std::nan("")};
    const double margins[] = {0.0, 5.0, -3.0, 400.0};
    for (int channel = 0; channel < kServoCount; ++channel) {
        const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
        const double lo = std::fmin(calibration.lower, calibration.upper);
        const double hi = std::fmax(calibration.lower, calibration.upper);
        const bool finiteRange = std::isfinite(lo) && std::isfinite(hi);
        for (double angle : angles) {
            for (double margin : margins) {
                const double clamped = limits.clamp(channel, angle, margin);
                limits.angleToPwm(channel, angle, margin);
                if (finiteRange && margin >= 0.0)
                    require(clamped >= lo && clamped <= hi);
            }
        }
        for (int pwm : {std::numeric_limits<int>::min(), -1, 0, 135, 270, std::numeric_limits<int>::max()}) {
            const double back = limits.pwmToAngle(channel, pwm);
            if (finiteRange && !std::isnan(back))
                require(back >= lo && back <= hi);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    UrdfLimits table;
    table.loadCalibrationJsonData(bytes, "fuzz input");
    checkConversions(table);

    UrdfLimits model;
    model.loadCalibrationJsonData(kNamedTable, "named table");
    model.loadUrdfData(bytes);
    checkConversions(model);
    return 0;
}
