#include "robot/urdf_limits.h"

#include "tests/robot/calibration_rows.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <string>

namespace {

constexpr double kDegree = kPi / 180.0;

// Channel 3 of the embedded table.
const CalibrationRow kLeftHipPitch{3, 168, 1.0, kPi / 180.0, -0.6981, 1.5708, "left_hip_pitch_joint"};

int countLines(const std::string& text, const std::string& needle)
{
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.find(needle) != std::string::npos ? 1 : 0;
    return count;
}

} // namespace

TEST(UrdfLimits, SingletonStartsWithFallbackRows)
{
    // Another test in this process may have loaded the singleton already
    // (in any order, under --gtest_shuffle): the check runs in a fresh copy
    // of this program, whose static objects are new.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            UrdfLimits* limits = UrdfLimits::instance();
            const bool fresh = limits != nullptr && limits == UrdfLimits::instance() && !limits->isInitialized() &&
                               limits->getAllCalibrations().size() == 17u && limits->getAllLimits().size() == 17u &&
                               limits->getCalibration(16).center == 135 && limits->getLimit(16).upper == kPi;
            std::fputs(fresh ? "fallback rows\n" : "not the fallback rows\n", stderr);
            std::exit(fresh ? 0 : 1);
        },
        testing::ExitedWithCode(0), "fallback rows");
}

TEST(UrdfLimits, FallbackRowsAreUniform)
{
    const UrdfLimits limits;
    int expectedChannel = 0;
    for (const auto& [channel, calibration] : limits.getAllCalibrations()) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(channel, expectedChannel++);
        EXPECT_EQ(calibration.name, "joint_" + std::to_string(channel));
        EXPECT_EQ(calibration.channel, channel);
        EXPECT_EQ(calibration.center, 135);
        EXPECT_EQ(calibration.sign, 1.0);
        EXPECT_EQ(calibration.radPerPwm, 0.017453292519943295);
        EXPECT_EQ(calibration.lower, -3.141592653589793);
        EXPECT_EQ(calibration.upper, 3.141592653589793);
        const UrdfLimits::JointLimit limit = limits.getLimit(channel);
        EXPECT_EQ(limit.name, calibration.name);
        EXPECT_EQ(limit.channel, channel);
        EXPECT_EQ(limit.lower, -kPi);
        EXPECT_EQ(limit.upper, kPi);
    }
    EXPECT_EQ(expectedChannel, 17);
    EXPECT_EQ(limits.angleToPwm(5, 0.0, 0.0), 135);
    EXPECT_EQ(limits.angleToPwm(5, 1.0, 0.0), 192);
}

TEST(UrdfLimits, ChannelsOutOfRangeGetFixedAnswers)
{
    UrdfLimits limits;
    loadRows(limits, {kLeftHipPitch});
    EXPECT_TRUE(limits.hasLimit(0));
    EXPECT_TRUE(limits.hasLimit(16));
    EXPECT_TRUE(limits.hasCalibration(16));
    for (int channel : {-1, 17, 40, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(channel);
        EXPECT_FALSE(limits.hasLimit(channel));
        EXPECT_FALSE(limits.hasCalibration(channel));
        EXPECT_EQ(limits.clamp(channel, 9.0, 5.0), 9.0);
        EXPECT_EQ(limits.angleToPwm(channel, 0.3, 5.0), 135);
        EXPECT_EQ(limits.pwmToAngle(channel, 150), 0.0);

        const UrdfLimits::JointLimit limit = limits.getLimit(channel);
        EXPECT_EQ(limit.name, "unknown");
        EXPECT_EQ(limit.channel, channel);
        EXPECT_EQ(limit.lower, -kPi);
        EXPECT_EQ(limit.upper, kPi);

        const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
        EXPECT_EQ(calibration.name, "unknown");
        EXPECT_EQ(calibration.channel, channel);
        EXPECT_EQ(calibration.center, 135);
        EXPECT_EQ(calibration.sign, 1.0);
        EXPECT_EQ(calibration.radPerPwm, kPi / 180.0);
        EXPECT_EQ(calibration.lower, -kPi);
        EXPECT_EQ(calibration.upper, kPi);
    }
}

TEST(UrdfLimits, WorkedExampleOfLeftHipPitch)
{
    UrdfLimits limits;
    loadRows(limits, {kLeftHipPitch});
    struct Case { double angle; double margin; int pwm; };
    const Case cases[] = {
        {0.5, 5.0, 197},    // 196.648
        {2.0, 5.0, 253},    // clamped to 1.5708 - 5 degrees: 253.0002
        {-2.0, 5.0, 133},   // clamped to -0.6981 + 5 degrees: 133.0
        {0.0, 5.0, 168},
        {1.5708, 0.0, 258}, // the range end itself without a margin: 258.0002
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.angle);
        EXPECT_EQ(limits.angleToPwm(3, c.angle, c.margin), c.pwm);
    }
    EXPECT_NEAR(limits.clamp(3, 2.0, 5.0), 1.5708 - 5.0 * kDegree, 1e-12);
    EXPECT_DOUBLE_EQ(limits.pwmToAngle(3, 100), -0.6981);
    EXPECT_DOUBLE_EQ(limits.pwmToAngle(3, 260), 1.5708);
    EXPECT_NEAR(limits.pwmToAngle(3, 255), 1.51844, 1e-5);
}

TEST(UrdfLimits, SafeRangeRules)
{
    struct Case { const char* what; double lower; double upper; double margin; double angle; double expected; };
    const Case cases[] = {
        {"inside stays", -1.0, 1.0, 5.0, 0.3, 0.3},
        {"above to upper minus margin", -1.0, 1.0, 5.0, 3.0, 1.0 - 5.0 * kDegree},
        {"below to lower plus margin", -1.0, 1.0, 5.0, -3.0, -1.0 + 5.0 * kDegree},
        {"swapped bounds behave alike", 1.0, -1.0, 5.0, 3.0, 1.0 - 5.0 * kDegree},
        {"narrow range drops margin, top", 0.0, 0.1, 5.0, 1.0, 0.1},
        {"narrow range drops margin, bottom", 0.0, 0.1, 5.0, -1.0, 0.0},
        {"narrow range keeps inside", 0.0, 0.1, 5.0, 0.05, 0.05},
        {"negative margin widens", -1.0, 1.0, -10.0, 3.0, 1.0 + 10.0 * kDegree},
        {"zero-width range", 0.5, 0.5, 0.0, 3.0, 0.5},
        {"positive infinity to the top", -1.0, 1.0, 0.0, std::numeric_limits<double>::infinity(), 1.0},
        {"negative infinity to the bottom", -1.0, 1.0, 0.0, -std::numeric_limits<double>::infinity(), -1.0},
        // Not-a-number must never get through unclamped.
        {"NaN angle treated as zero", 0.2, 1.0, 0.0, std::nan(""), 0.2},
        {"NaN margin treated as zero", -1.0, 1.0, std::nan(""), 3.0, 1.0},
        {"infinite margin treated as zero", -1.0, 1.0, -std::numeric_limits<double>::infinity(), 3.0, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UrdfLimits limits;
        loadRows(limits, {{7, 150, 1.0, kDegree, c.lower, c.upper}});
        EXPECT_NEAR(limits.clamp(7, c.angle, c.margin), c.expected, 1e-12);
        // The PWM value is always that of the clamped angle.
        EXPECT_EQ(limits.angleToPwm(7, c.angle, c.margin), static_cast<int>(std::round(c.expected / kDegree + 150)));
    }
}

TEST(UrdfLimits, RoundsHalvesAwayFromZero)
{
    struct Case { int center; double angle; int pwm; };
    const Case cases[] = {
        {150, 0.5, 151}, {150, -0.5, 150}, {0, -0.5, -1}, {0, 0.5, 1},
        {0, -1.5, -2}, {150, 0.49, 150}, {150, -0.51, 149},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.angle);
        UrdfLimits limits;
        // One radian per PWM unit makes the quotient exact.
        loadRows(limits, {{2, c.center, 1.0, 1.0, -1000.0, 1000.0}});
        EXPECT_EQ(limits.angleToPwm(2, c.angle, 0.0), c.pwm);
    }
}

TEST(UrdfLimits, ReversedServoRoundTripsWithinHalfAStep)
{
    UrdfLimits limits;
    const double step = 0.01823869;
    loadRows(limits, {{5, 158, -1.0, step, -1.8117, 1.3055}});
    EXPECT_LT(limits.angleToPwm(5, 0.4, 0.0), 158);
    EXPECT_GT(limits.angleToPwm(5, -0.4, 0.0), 158);

    std::mt19937 random(17);
    std::uniform_real_distribution<double> inside(-1.8117, 1.3055);
    for (int i = 0; i < 2000; ++i) {
        const double angle = inside(random);
        const double back = limits.pwmToAngle(5, limits.angleToPwm(5, angle, 0.0));
        // Half a step, or less when the rounded value fell past a range end.
        ASSERT_LE(std::abs(back - angle), step / 2 + 1e-12) << angle;
    }
}

TEST(UrdfLimits, PwmToAngleStaysInJointRange)
{
    UrdfLimits limits;
    loadRows(limits, {kLeftHipPitch, {9, 69, -1.0, 0.01692969, -4.3284, 0.0}, {4, 100, 1.0, kDegree, 0.25, 0.25}});
    for (int pwm : {INT_MIN, -1000, 0, 1, 69, 135, 270, 100000, INT_MAX}) {
        SCOPED_TRACE(pwm);
        const double hip = limits.pwmToAngle(3, pwm);
        EXPECT_GE(hip, -0.6981);
        EXPECT_LE(hip, 1.5708);
        const double roll = limits.pwmToAngle(9, pwm);
        EXPECT_GE(roll, -4.3284);
        EXPECT_LE(roll, 0.0);
        EXPECT_EQ(limits.pwmToAngle(4, pwm), 0.25);
    }
    // Reversed: a PWM above the centre is a negative angle.
    EXPECT_NEAR(limits.pwmToAngle(9, 79), -10 * 0.01692969, 1e-12);
}

TEST(UrdfLimits, DegenerateScaleAnswersCenterAndWarnsOnce)
{
    UrdfLimits limits;
    loadRows(limits, {{6, 252, 0.0, 0.01649336, 0.0, 4.7298}, {8, 163, 1.0, 0.0, -1.4835, 0.9599}, kLeftHipPitch});
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(limits.angleToPwm(6, 1.0, 5.0), 252);
        EXPECT_EQ(limits.angleToPwm(8, -0.3, 0.0), 163);
        EXPECT_EQ(limits.angleToPwm(3, 0.5, 5.0), 197);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countLines(errors, "UrdfLimits: channel 6 "), 1) << errors;
    EXPECT_EQ(countLines(errors, "UrdfLimits: channel 8 "), 1) << errors;
    EXPECT_EQ(countLines(errors, "UrdfLimits: channel 3 "), 0) << errors;
}

TEST(UrdfLimits, AbsurdScaleSaturatesInsteadOfOverflowing)
{
    UrdfLimits limits;
    loadRows(limits, {{1, 0, 1.0, 1e-300, -1.0, 1.0}});
    EXPECT_EQ(limits.angleToPwm(1, 1.0, 0.0), INT_MAX);
    EXPECT_EQ(limits.angleToPwm(1, -1.0, 0.0), INT_MIN);
    EXPECT_EQ(limits.angleToPwm(1, 0.0, 0.0), 0);
}
