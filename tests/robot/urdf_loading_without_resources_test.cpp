// Loading in a program that carries no embedded resources, where a file
// that cannot be read has nothing to fall back on but the uniform rows.
#include "robot/urdf_limits.h"

#include "tests/robot/temp_files.h"

#include <gtest/gtest.h>

TEST(UrdfLoadingWithoutResources, NothingReadableLeavesFallbackRows)
{
    TempFiles files;
    const std::string table = files.missing("calibration.json");
    const std::string urdf = files.missing("kestro.urdf");
    UrdfLimits limits;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(limits.init(urdf, table));
    const std::vector<std::string> errors = splitLines(testing::internal::GetCapturedStderr());
    const std::vector<std::string> expected = {
        "UrdfLimits: could not open calibration JSON: " + table,
        "UrdfLimits: warning, using fallback calibration.",
        "UrdfLimits: could not open URDF: " + urdf,
    };
    EXPECT_EQ(errors, expected);
    EXPECT_TRUE(limits.isInitialized());
    for (int channel = 0; channel < kServoCount; ++channel) {
        EXPECT_EQ(limits.getCalibration(channel).name, "joint_" + std::to_string(channel));
        EXPECT_EQ(limits.getCalibration(channel).center, 135);
        EXPECT_EQ(limits.getLimit(channel).upper, kPi);
    }
    EXPECT_EQ(limits.angleToPwm(5, 1.0, 0.0), 192);
}

TEST(UrdfLoadingWithoutResources, MissingModelKeepsTheTableRanges)
{
    TempFiles files;
    const std::string table = files.write("calibration.json", R"({"channels": {"3": {"name": "left_hip_pitch_joint",
        "center": 168, "urdf_limits": {"lower": -0.6981, "upper": 1.5708}}}})");
    const std::string urdf = files.missing("kestro.urdf");
    UrdfLimits limits;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(limits.init(urdf, table));
    EXPECT_EQ(splitLines(testing::internal::GetCapturedStderr()),
              std::vector<std::string>{"UrdfLimits: could not open URDF: " + urdf});
    EXPECT_EQ(limits.getLimit(3).lower, -0.6981);
    EXPECT_EQ(limits.getLimit(3).upper, 1.5708);
    EXPECT_EQ(limits.angleToPwm(3, 0.5, 5.0), 197);
}

TEST(UrdfLoadingWithoutResources, EmptyCalibrationPathCannotBeOpened)
{
    UrdfLimits limits;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(limits.loadCalibrationJson(""));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UrdfLimits: could not open calibration JSON: \n");
}
