#include "robot/urdf_limits.h"

#include "tests/robot/embedded_resources.h"

#include "tests/robot/temp_files.h"

#include <gtest/gtest.h>


#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

struct ExpectedRow
{
    const char* name;
    int center;
    double sign;
    double radPerPwm;
    double lower;
    double upper;
};

// The embedded calibration table; the embedded URDF carries the same limits.
const ExpectedRow kEmbeddedRows[17] = {
    {"left_ankle_roll_joint", 160, 1.0, 0.017453292519943295, -1.3963, 0.4363},
    {"left_ankle_pitch_joint", 161, -1.0, 0.017453292519943295, -0.7854, 1.5708},
    {"left_knee_pitch_joint", 141, -1.0, 0.017453292519943295, -0.6981, 1.5708},
    {"left_hip_pitch_joint", 168, 1.0, 0.017453292519943295, -0.6981, 1.5708},
    {"left_hip_roll_joint", 158, -1.0, 0.017453292519943295, -0.3491, 1.6057},
    {"left_shoulder_pitch_joint", 158, 1.0, 0.01823869, -1.8117, 1.3055},
    {"left_shoulder_roll_joint", 252, -1.0, 0.01649336, 0.0, 4.7298},
    {"left_elbow_joint", 159, 1.0, 0.017453292519943295, -1.309, 1.4835},
    {"right_elbow_joint", 163, 1.0, 0.017453292519943295, -1.4835, 0.9599},
    {"right_shoulder_roll_joint", 69, -1.0, 0.01692969, -4.3284, 0.0},
    {"right_shoulder_pitch_joint", 163, -1.0, 0.02068215, -2.4906, 2.0054},
    {"right_hip_roll_joint", 161, -1.0, 0.017453292519943295, -1.7453, 0.3491},
    {"right_hip_pitch_joint", 129, -1.0, 0.017453292519943295, -0.6981, 1.5708},
    {"right_knee_pitch_joint", 150, 1.0, 0.017453292519943295, -0.6981, 1.5708},
    {"right_ankle_pitch_joint", 165, 1.0, 0.017453292519943295, -0.8727, 1.5708},
    {"right_ankle_roll_joint", 162, 1.0, 0.017453292519943295, -0.4363, 1.2217},
    {"head_yaw_joint", 90, 1.0, 0.02827433, -0.9756, 0.9233},
};

void expectEmbeddedRows(const UrdfLimits& limits)
{
    for (int channel = 0; channel < kServoCount; ++channel) {
        SCOPED_TRACE(channel);
        const ExpectedRow& row = kEmbeddedRows[channel];
        const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
        EXPECT_EQ(calibration.name, row.name);
        EXPECT_EQ(calibration.channel, channel);
        EXPECT_EQ(calibration.center, row.center);
        EXPECT_EQ(calibration.sign, row.sign);
        EXPECT_EQ(calibration.radPerPwm, row.radPerPwm);
        EXPECT_EQ(calibration.lower, row.lower);
        EXPECT_EQ(calibration.upper, row.upper);
        const UrdfLimits::JointLimit limit = limits.getLimit(channel);
        EXPECT_EQ(limit.name, row.name);
        EXPECT_EQ(limit.channel, channel);
        EXPECT_EQ(limit.lower, row.lower);
        EXPECT_EQ(limit.upper, row.upper);
    }
}

void expectFallbackRow(const UrdfLimits& limits, int channel)
{
    SCOPED_TRACE(channel);
    const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
    EXPECT_EQ(calibration.name, "joint_" + std::to_string(channel));
    EXPECT_EQ(calibration.center, 135);
    EXPECT_EQ(calibration.sign, 1.0);
    EXPECT_EQ(calibration.lower, -kPi);
    EXPECT_EQ(calibration.upper, kPi);
    EXPECT_EQ(limits.getLimit(channel).name, calibration.name);
}

void expectRange(const UrdfLimits& limits, int channel, double lower, double upper)
{
    SCOPED_TRACE(channel);
    EXPECT_EQ(limits.getCalibration(channel).lower, lower);
    EXPECT_EQ(limits.getCalibration(channel).upper, upper);
    EXPECT_EQ(limits.getLimit(channel).lower, lower);
    EXPECT_EQ(limits.getLimit(channel).upper, upper);
}

// A small table with two named channels, ranges -0.1..0.1, and a model that
// widens both, so that it is visible which file had the last word.
const char* const kTable = R"({"channels": {
    "3": {"name": "left_hip_pitch_joint", "center": 168, "sign": 1.0, "rad_per_pwm": 0.0174,
          "urdf_limits": {"lower": -0.1, "upper": 0.1}},
    "5": {"name": "left_shoulder_pitch_joint", "center": 158, "sign": -1.0, "rad_per_pwm": 0.018,
          "urdf_limits": {"lower": -0.1, "upper": 0.1}}}})";

const char* const kModel = R"(<?xml version="1.0"?>
<robot name="kestro">
  <link name="base_link"/>
  <joint name="left_hip_pitch_joint" type="revolute">
    <limit lower="-0.5" upper="0.6" effort="1" velocity="1"/>
  </joint>
  <joint name="left_shoulder_pitch_joint" type="revolute">
    <limit lower="-0.7" upper="0.8"/>
  </joint>
</robot>)";

QByteArray model(const std::string& joints)
{
    return QByteArray::fromStdString("<robot name=\"kestro\">" + joints + "</robot>");
}

struct LoadCase
{
    const char* what;
    std::optional<QByteArray> table; // nullopt: no file at that path
    std::optional<QByteArray> urdf;
    bool expectedResult;
    // Expected stderr lines; "{table}" stands for the table's path. A line
    // ending in "..." only has to start with the text before it.
    std::vector<std::string> expectedErrors;
    std::function<void(const UrdfLimits&)> check;
};

void expectErrors(const std::string& captured, std::vector<std::string> expected, const std::string& tablePath)
{
    const std::vector<std::string> lines = splitLines(captured);
    ASSERT_EQ(lines.size(), expected.size()) << captured;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string want = expected[i];
        const auto placeholder = want.find("{table}");
        if (placeholder != std::string::npos)
            want.replace(placeholder, 7, tablePath);
        if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            want.resize(want.size() - 3);
            EXPECT_EQ(lines[i].rfind(want, 0), 0u) << lines[i];
            EXPECT_GT(lines[i].size(), want.size()) << "no description after: " << lines[i];
        } else {
            EXPECT_EQ(lines[i], want);
        }
    }
}

class UrdfLoading : public testing::Test
{
protected:
    void SetUp() override { initEmbeddedResources(); }
};

} // namespace

TEST_F(UrdfLoading, EmbeddedResourcesGiveTheCalibratedRobot)
{
    UrdfLimits limits;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(limits.isInitialized());
    expectEmbeddedRows(limits);
    EXPECT_EQ(limits.getAllLimits().size(), 17u);
    EXPECT_EQ(limits.getAllCalibrations().size(), 17u);
}

TEST_F(UrdfLoading, SingletonInitLoadsTheEmbeddedRobot)
{
    UrdfLimits::instance()->init(":/model/kestro.urdf", ":/model/calibration.json");
    EXPECT_TRUE(UrdfLimits::instance()->isInitialized());
    expectEmbeddedRows(*UrdfLimits::instance());
}

TEST_F(UrdfLoading, FilesOnDisk)
{
    const std::vector<LoadCase> cases = {
        {"good table and model", QByteArray(kTable), QByteArray(kModel), true, {},
         [](const UrdfLimits& l) {
             const auto hip = l.getCalibration(3);
             EXPECT_EQ(hip.name, "left_hip_pitch_joint");
             EXPECT_EQ(hip.center, 168);
             EXPECT_EQ(hip.radPerPwm, 0.0174);
             expectRange(l, 3, -0.5, 0.6);
             EXPECT_EQ(l.getCalibration(5).sign, -1.0);
             expectRange(l, 5, -0.7, 0.8);
             for (int channel : {0, 1, 2, 4, 6, 16})
                 expectFallbackRow(l, channel);
         }},
        {"table cut short", QByteArray(kTable).left(60), QByteArray(kModel), true,
         {"UrdfLimits: JSON parse error in {table}: ...", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) {
             // The model's joint names match no fallback row.
             for (int channel = 0; channel < kServoCount; ++channel)
                 expectFallbackRow(l, channel);
         }},
        {"table and model both broken", QByteArray("{]"), QByteArray("<robot><joint"), false,
         {"UrdfLimits: JSON parse error in {table}: ...", "UrdfLimits: warning, using fallback calibration.",
          "UrdfLimits: XML parse failed: ..."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 3); }},
        {"table is an array", QByteArray("[{\"channels\": {}}]"), QByteArray(kModel), true,
         {"UrdfLimits: JSON parse error in {table}: ...", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 3); }},
        {"empty table file", QByteArray(), QByteArray(kModel), true,
         {"UrdfLimits: JSON parse error in {table}: ...", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 3); }},
        {"no channels member", QByteArray(R"({"version": "1.0.0"})"), QByteArray(kModel), true,
         {"UrdfLimits: missing 'channels' in {table}", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 5); }},
        {"channels as an array", QByteArray(R"({"channels": [{"name": "left_hip_pitch_joint"}]})"),
         QByteArray(kModel), true,
         {"UrdfLimits: missing 'channels' in {table}", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 0); }},
        {"channels empty", QByteArray(R"({"channels": {}})"), QByteArray(kModel), true,
         {"UrdfLimits: missing 'channels' in {table}", "UrdfLimits: warning, using fallback calibration."},
         [](const UrdfLimits& l) { expectFallbackRow(l, 0); }},
        {"only channel 5", QByteArray(R"({"channels": {"5": {"name": "left_shoulder_pitch_joint", "center": 158}}})"),
         QByteArray(kModel), true, {},
         [](const UrdfLimits& l) {
             EXPECT_EQ(l.getCalibration(5).center, 158);
             expectRange(l, 5, -0.7, 0.8);
             for (int channel = 0; channel < kServoCount; ++channel) {
                 if (channel != 5)
                     expectFallbackRow(l, channel);
             }
         }},
        {"members of the wrong type",
         QByteArray(R"({"channels": {
             "3": {"name": 7, "center": "160", "sign": "x", "rad_per_pwm": null, "urdf_limits": [1, 2]},
             "4": {"name": "left_hip_roll_joint", "center": 160.5, "urdf_limits": {"lower": "a", "upper": 0.3}},
             "6": "not an object"}})"),
         model(R"(<joint><limit lower="-2" upper="2"/></joint>)"), true, {},
         [](const UrdfLimits& l) {
             const auto odd = l.getCalibration(3);
             EXPECT_EQ(odd.name, ""); // and the unnamed URDF joint did not match it
             EXPECT_EQ(odd.center, 135);
             EXPECT_EQ(odd.sign, 1.0);
             EXPECT_EQ(odd.radPerPwm, kPi / 180.0);
             expectRange(l, 3, -kPi, kPi);
             EXPECT_EQ(l.getCalibration(4).center, 135);
             expectRange(l, 4, -kPi, 0.3);
             EXPECT_EQ(l.getCalibration(6).name, "");
             expectRange(l, 6, -kPi, kPi);
         }},
        {"only member names 0 to 16 count",
         QByteArray(R"({"channels": {"17": {"center": 1}, "-1": {"center": 2}, "05": {"center": 3},
             "3": {"channel": 9, "center": 170}}})"),
         QByteArray(kModel), true, {},
         [](const UrdfLimits& l) {
             EXPECT_EQ(l.getCalibration(3).center, 170);
             EXPECT_EQ(l.getCalibration(3).channel, 3);
             expectFallbackRow(l, 5);
             expectFallbackRow(l, 9);
             EXPECT_FALSE(l.hasCalibration(17));
         }},
        {"model not well-formed", QByteArray(kTable), QByteArray("<robot><joint name="), true,
         {"UrdfLimits: XML parse failed: ..."},
         [](const UrdfLimits& l) { expectRange(l, 3, -0.1, 0.1); }},
        {"model without robot", QByteArray(kTable), QByteArray("<?xml version=\"1.0\"?><model name=\"kestro\"/>"), true,
         {"UrdfLimits: missing <robot> tag in URDF."},
         [](const UrdfLimits& l) { expectRange(l, 5, -0.1, 0.1); }},
        {"empty model file", QByteArray(kTable), QByteArray(), true, {"UrdfLimits: XML parse failed: ..."},
         [](const UrdfLimits& l) { expectRange(l, 5, -0.1, 0.1); }},
        {"limit with lower only", QByteArray(kTable),
         model(R"(<joint name="left_hip_pitch_joint"><limit lower="-0.4"/></joint>)"), true, {},
         [](const UrdfLimits& l) { expectRange(l, 3, -0.4, 0.1); }},
        {"limit that is not a number", QByteArray(kTable),
         model(R"(<joint name="left_hip_pitch_joint"><limit lower="abc" upper="0.2"/></joint>)"), true, {},
         [](const UrdfLimits& l) { expectRange(l, 3, 0.0, 0.2); }},
        {"non-finite limits keep the table's", QByteArray(kTable),
         model(R"(<joint name="left_hip_pitch_joint"><limit lower="nan" upper="inf"/></joint>
                  <joint name="left_shoulder_pitch_joint"><limit lower="-inf" upper="0.05"/></joint>)"), true,
         {"UrdfLimits: ignoring non-finite lower limit of joint left_hip_pitch_joint",
          "UrdfLimits: ignoring non-finite upper limit of joint left_hip_pitch_joint",
          "UrdfLimits: ignoring non-finite lower limit of joint left_shoulder_pitch_joint"},
         [](const UrdfLimits& l) {
             expectRange(l, 3, -0.1, 0.1);
             expectRange(l, 5, -0.1, 0.05);
         }},
        {"unknown, unlimited and nested joints change nothing", QByteArray(kTable),
         model(R"(<joint name="tail_joint"><limit lower="-3" upper="3"/></joint>
                  <joint name="left_hip_pitch_joint" type="continuous"/>
                  <link name="x"><joint name="left_shoulder_pitch_joint"><limit lower="-3" upper="3"/></joint></link>)"),
         true, {},
         [](const UrdfLimits& l) {
             expectRange(l, 3, -0.1, 0.1);
             expectRange(l, 5, -0.1, 0.1);
         }},
        {"a duplicated name goes to the higher channel",
         QByteArray(R"({"channels": {"3": {"name": "dup_joint", "urdf_limits": {"lower": -0.1, "upper": 0.1}},
                                     "5": {"name": "dup_joint", "urdf_limits": {"lower": -0.1, "upper": 0.1}}}})"),
         model(R"(<joint name="dup_joint"><limit lower="-0.9" upper="0.9"/></joint>)"), true, {},
         [](const UrdfLimits& l) {
             expectRange(l, 3, -0.1, 0.1);
             expectRange(l, 5, -0.9, 0.9);
         }},
        {"later joints of the same name win", QByteArray(kTable),
         model(R"(<joint name="left_hip_pitch_joint"><limit lower="-0.2" upper="0.2"/></joint>
                  <joint name="left_hip_pitch_joint"><limit upper="0.3"/></joint>)"),
         true, {}, [](const UrdfLimits& l) { expectRange(l, 3, -0.2, 0.3); }},
        {"missing table file uses the embedded table", std::nullopt, QByteArray(kModel), true, {},
         [](const UrdfLimits& l) {
             EXPECT_EQ(l.getCalibration(16).name, "head_yaw_joint");
             EXPECT_EQ(l.getCalibration(16).center, 90);
             expectRange(l, 3, -0.5, 0.6);       // from the model on disk
             expectRange(l, 16, -0.9756, 0.9233); // from the embedded table
         }},
        {"missing model file uses the embedded model", QByteArray(kTable), std::nullopt, true, {},
         [](const UrdfLimits& l) { expectRange(l, 3, -0.6981, 1.5708); }},
    };

    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempFiles files;
        const std::string tablePath = c.table ? files.write("calibration.json", *c.table) : files.missing("calibration.json");
        const std::string urdfPath = c.urdf ? files.write("kestro.urdf", *c.urdf) : files.missing("kestro.urdf");
        UrdfLimits limits;
        testing::internal::CaptureStderr();
        const bool result = limits.init(urdfPath, tablePath);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.expectedResult);
        EXPECT_TRUE(limits.isInitialized());
        EXPECT_EQ(limits.getAllCalibrations().size(), 17u);
        EXPECT_EQ(limits.getAllLimits().size(), 17u);
        expectErrors(errors, c.expectedErrors, tablePath);
        c.check(limits);
    }
}

TEST_F(UrdfLoading, UnusablePathsFallBackQuietly)
{
    TempFiles files;
    for (const std::string& path : {std::string(), files.folder(), files.missing("nothing.json")}) {
        SCOPED_TRACE(path);
        UrdfLimits limits;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(limits.init(path, path));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        expectEmbeddedRows(limits);
    }
}

TEST_F(UrdfLoading, InitStartsOverFromTheFallbackRows)
{
    TempFiles files;
    UrdfLimits limits;
    ASSERT_TRUE(limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
    testing::internal::CaptureStderr();
    limits.init(files.write("k.urdf", model("")), files.write("c.json", "{\"channels\": 5}"));
    testing::internal::GetCapturedStderr();
    for (int channel = 0; channel < kServoCount; ++channel)
        expectFallbackRow(limits, channel);
}

TEST_F(UrdfLoading, LoadCalibrationKeepsChannelsItDoesNotName)
{
    TempFiles files;
    UrdfLimits limits;
    ASSERT_TRUE(limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
    EXPECT_TRUE(limits.loadCalibrationJson(files.write("c.json", R"({"channels": {"9": {"name": "swapped", "center": 70}}})")));
    EXPECT_EQ(limits.getCalibration(9).center, 70);
    EXPECT_EQ(limits.getLimit(9).name, "swapped");
    EXPECT_EQ(limits.getCalibration(8).center, 163);
    EXPECT_EQ(limits.getCalibration(10).center, 163);
}

TEST_F(UrdfLoading, ModelInUtf16IsDetected)
{
    TempFiles files;
    const QString text = QString::fromUtf8(kModel).replace("<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"utf-16\"?>");
    QByteArray utf16("\xff\xfe", 2);
    utf16.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    UrdfLimits limits;
    EXPECT_TRUE(limits.init(files.write("k.urdf", utf16), files.write("c.json", kTable)));
    expectRange(limits, 3, -0.5, 0.6);
}
