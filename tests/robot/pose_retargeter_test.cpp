#include "robot/pose_retargeter.h"

#include "tests/robot/pose_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace pose_builder;

namespace {

constexpr double kDeg = kPi / 180.0;
// Keypoints are single precision; angles derived from them carry its error.
constexpr double kFloatTolerance = 2e-6;

// The channels a camera pose never drives.
constexpr int kNeverDriven[] = {0, 1, 3, 4, 11, 12, 14, 15};

// Fallback rows (range -pi..pi, 1 degree per PWM, centre 135) and no margin,
// so that the raw geometry comes out unchanged.
RetargetResult run(PoseRetargeter& retargeter, const PoseEstimator::PersonPose& pose, bool mirror = false,
                   const std::string& mode = "upper_body", float alpha = 1.0f, float deadband = 0.0f)
{
    return retargeter.process(pose, mirror, alpha, deadband, 0.0f, mode);
}

} // namespace

TEST(PoseRetargeter, ComputeAngle2D)
{
    struct Case { const char* what; float ax, ay, bx, by, cx, cy; double expected; };
    const Case cases[] = {
        {"right angle", 1, 0, 0, 0, 0, 1, kPi / 2},
        {"straight", -1, 0, 0, 0, 1, 0, kPi},
        {"same ray", 1, 1, 0, 0, 2, 2, 0.0},
        {"45 degrees", 1, 0, 0, 0, 1, 1, kPi / 4},
        {"A on the vertex", 0.5f, 0.5f, 0.5f, 0.5f, 1, 1, 0.0},
        {"C on the vertex", 1, 1, 0.5f, 0.5f, 0.5f, 0.5f, 0.0},
        {"shorter than 1e-4", 0.50005f, 0.5f, 0.5f, 0.5f, 0.5f, 1.0f, 0.0},
        {"far points", 0, 100, 0, 0, 100, 0, kPi / 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(PoseRetargeter::computeAngle2D(c.ax, c.ay, c.bx, c.by, c.cx, c.cy), c.expected, kFloatTolerance);
    }
}

TEST(PoseRetargeter, InvalidPoseReturnsCentresAndKeepsHistory)
{
    UrdfLimits limits;
    limits.loadCalibrationJsonData(R"({"channels": {"16": {"center": 90, "rad_per_pwm": 0.02827433,
        "urdf_limits": {"lower": -0.9756, "upper": 0.9233}}, "3": {"center": 168}}})", "inline");
    PoseRetargeter retargeter(limits);

    PoseEstimator::PersonPose pose = headPose(0.2);
    pose.valid = false;
    const RetargetResult invalid = run(retargeter, pose, false, "full_body", 0.5f);
    EXPECT_FALSE(invalid.ok);
    for (int channel = 0; channel < kServoCount; ++channel) {
        EXPECT_FALSE(invalid.valid[channel]);
        EXPECT_EQ(invalid.angles[channel], 0.0);
        EXPECT_EQ(invalid.pwm[channel], limits.getCalibration(channel).center);
    }
    EXPECT_EQ(invalid.pwm[16], 90);
    EXPECT_EQ(invalid.pwm[3], 168);

    // The history was not started: the first valid frame is not smoothed.
    const RetargetResult first = run(retargeter, headPose(0.2), false, "upper_body", 0.5f);
    EXPECT_NEAR(first.angles[16], 0.2, kFloatTolerance);
}

TEST(PoseRetargeter, ValidPoseWithoutConfidenceStartsHistory)
{
    const UrdfLimits limits;
    PoseRetargeter retargeter(limits);
    const RetargetResult empty = run(retargeter, validPose(), false, "full_body", 0.5f);
    EXPECT_TRUE(empty.ok);
    for (int channel = 0; channel < kServoCount; ++channel) {
        EXPECT_FALSE(empty.valid[channel]);
        EXPECT_EQ(empty.pwm[channel], 135);
    }
    // The history now exists (all zero), so the next yaw is smoothed from 0.
    const RetargetResult next = run(retargeter, headPose(0.2), false, "upper_body", 0.5f);
    EXPECT_NEAR(next.angles[16], 0.1, kFloatTolerance);
}

TEST(PoseRetargeter, SmoothingAndDeadband)
{
    struct Case { const char* what; float alpha; float deadbandDeg; double second; double expected; };
    const Case cases[] = {
        {"half way", 0.5f, 1.0f, 0.3, 0.25},
        {"inside the deadband holds", 0.5f, 1.0f, 0.21, 0.2},
        {"alpha 1 follows", 1.0f, 1.0f, 0.3, 0.3},
        {"alpha 0 freezes", 0.0f, 1.0f, 0.6, 0.2},
        {"no deadband follows small moves", 1.0f, 0.0f, 0.21, 0.21},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const UrdfLimits limits;
        PoseRetargeter retargeter(limits);
        const RetargetResult first = run(retargeter, headPose(0.2), false, "upper_body", c.alpha, c.deadbandDeg);
        EXPECT_NEAR(first.angles[16], 0.2, kFloatTolerance); // the first frame is never smoothed
        const RetargetResult second = run(retargeter, headPose(c.second), false, "upper_body", c.alpha, c.deadbandDeg);
        EXPECT_NEAR(second.angles[16], c.expected, kFloatTolerance);
        EXPECT_EQ(second.pwm[16], static_cast<int>(std::round(second.angles[16] / kDeg + 135)));
        if (c.expected == 0.2) {
            EXPECT_EQ(second.angles[16], first.angles[16]); // held exactly, not approximately
        }
    }
}

TEST(PoseRetargeter, ChannelNotSeenResumesFromItsLastAngle)
{
    const UrdfLimits limits;
    PoseRetargeter retargeter(limits);
    run(retargeter, headPose(0.4), false, "upper_body", 0.5f);
    const RetargetResult gap = run(retargeter, validPose(), false, "upper_body", 0.5f);
    EXPECT_FALSE(gap.valid[16]);
    EXPECT_EQ(gap.angles[16], 0.0);
    const RetargetResult back = run(retargeter, headPose(0.0), false, "upper_body", 0.5f);
    EXPECT_NEAR(back.angles[16], 0.2, kFloatTolerance);

    retargeter.reset();
    const RetargetResult fresh = run(retargeter, headPose(0.0), false, "upper_body", 0.5f);
    EXPECT_NEAR(fresh.angles[16], 0.0, kFloatTolerance);
}

TEST(PoseRetargeter, HeadYawCases)
{
    struct Case {
        const char* what;
        float nose, leftEye, rightEye, leftEar, rightEar; // confidences
        bool mirror;
        bool produced;
        double yaw;
    };
    const Case cases[] = {
        {"left eye profile", 0.9f, 0.5f, 0.1f, 0.0f, 0.0f, false, true, -0.9756},
        {"left eye profile mirrored", 0.9f, 0.5f, 0.1f, 0.0f, 0.0f, true, true, 0.9233},
        {"right eye profile", 0.9f, 0.1f, 0.5f, 0.9f, 0.0f, false, true, 0.9233},
        {"right eye profile mirrored", 0.9f, 0.1f, 0.5f, 0.0f, 0.9f, true, true, -0.9756},
        {"profile eye too unsure", 0.9f, 0.34f, 0.1f, 0.0f, 0.0f, false, false, 0.0},
        {"other eye not hidden enough", 0.9f, 0.5f, 0.25f, 0.0f, 0.0f, false, false, 0.0},
        {"no eyes at all", 0.9f, 0.1f, 0.1f, 0.0f, 0.0f, false, false, 0.0},
        {"nose not seen", 0.3f, 0.9f, 0.9f, 0.9f, 0.9f, false, false, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const UrdfLimits limits;
        PoseRetargeter retargeter(limits);
        PoseEstimator::PersonPose pose = validPose();
        place(&pose, kNose, 0.5f, 0.2f, c.nose);
        place(&pose, kLeftEye, 0.55f, 0.18f, c.leftEye);
        place(&pose, kRightEye, 0.45f, 0.18f, c.rightEye);
        place(&pose, kLeftEar, 0.6f, 0.2f, c.leftEar);
        place(&pose, kRightEar, 0.4f, 0.2f, c.rightEar);
        const RetargetResult result = run(retargeter, pose, c.mirror);
        EXPECT_EQ(result.valid[16], c.produced);
        EXPECT_EQ(result.angles[16], c.yaw);
    }
}

TEST(PoseRetargeter, HeadYawFromEyesAndEars)
{
    const UrdfLimits limits;
    struct Case { const char* what; bool ears; bool eyes; bool mirror; double yaw; };
    // Nose 0.01 right of both midpoints; eyes 0.1 apart, ears 0.2 apart.
    const double eyes = 0.01f / (0.1f + 1e-4f);
    const double ears = 0.01f / ((0.2f + 1e-4f) * 0.5f);
    const Case cases[] = {
        {"eyes only", false, true, false, 2.8 * eyes},
        {"eyes only mirrored", false, true, true, -2.8 * eyes},
        {"ears only", true, false, false, 2.8 * ears},
        {"both blended", true, true, false, 2.8 * (0.6 * eyes + 0.4 * ears)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PoseRetargeter retargeter(limits);
        PoseEstimator::PersonPose pose = validPose();
        place(&pose, kNose, 0.51f, 0.2f);
        place(&pose, kLeftEye, 0.55f, 0.18f, c.eyes ? 0.9f : 0.0f);
        place(&pose, kRightEye, 0.45f, 0.18f, c.eyes ? 0.9f : 0.0f);
        place(&pose, kLeftEar, 0.6f, 0.2f, c.ears ? 0.9f : 0.0f);
        place(&pose, kRightEar, 0.4f, 0.2f, c.ears ? 0.9f : 0.0f);
        EXPECT_NEAR(run(retargeter, pose, c.mirror).angles[16], c.yaw, 1e-5);
    }
    // A large offset stops at the head joint's range on either side.
    PoseRetargeter retargeter(limits);
    EXPECT_EQ(run(retargeter, headPose(3.0)).angles[16], 0.9233);
    EXPECT_EQ(run(retargeter, headPose(-3.0)).angles[16], -0.9756);
}

TEST(PoseRetargeter, MirroringSwapsArmsAndFlipsYaw)
{
    const UrdfLimits limits;
    PoseEstimator::PersonPose pose = headPose(0.3);
    ArmSpec raised;
    raised.armDeg = 90.0; // the person's right arm held out sideways
    raised.sx = 0.4f;
    placeArm(&pose, false, raised);
    ArmSpec lowered;
    lowered.armDeg = 30.0;
    lowered.sx = 0.6f; // shoulders on one spot are no torso
    placeArm(&pose, true, lowered);

    PoseRetargeter plain(limits);
    const RetargetResult direct = run(plain, pose, false);
    EXPECT_NEAR(direct.angles[6], 90.0 * kDeg, 1e-5);  // robot left from person right
    EXPECT_NEAR(direct.angles[9], -30.0 * kDeg, 1e-5); // robot right from person left
    EXPECT_NEAR(direct.angles[16], 0.3, 1e-5);

    PoseRetargeter mirrored(limits);
    const RetargetResult swapped = run(mirrored, pose, true);
    EXPECT_NEAR(swapped.angles[6], 30.0 * kDeg, 1e-5);
    EXPECT_NEAR(swapped.angles[9], -90.0 * kDeg, 1e-5);
    EXPECT_NEAR(swapped.angles[16], -0.3, 1e-5);
}

TEST(PoseRetargeter, ShoulderPitchFromArmForeshortening)
{
    const UrdfLimits limits;
    // Hip 0.4 below the shoulder: the expected upper arm is L = 0.26.
    struct Case { double ratio; double pitch; };
    const Case cases[] = {
        {1.2, 0.0}, {1.0, 0.0}, {0.9, 0.0}, {0.85, 0.0},
        {0.5, -(0.35 / 0.65000004) * (kPi / 2)},
        {0.2, -1.5707963705062866}, {0.17, -1.5707963705062866}, {0.1, -1.5707963705062866},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ratio);
        for (bool personLeft : {true, false}) {
            PoseRetargeter retargeter(limits);
            PoseEstimator::PersonPose pose = validPose();
            ArmSpec arm;
            arm.armDeg = 20.0;
            arm.upper = static_cast<float>(c.ratio * 0.26);
            placeArm(&pose, personLeft, arm);
            const int channel = personLeft ? 10 : 5; // unmirrored: person left drives robot right
            const RetargetResult result = run(retargeter, pose);
            EXPECT_TRUE(result.valid[channel]);
            EXPECT_NEAR(result.angles[channel], c.pitch, 1e-5);
        }
    }
}

TEST(PoseRetargeter, ArmWithoutHipUsesTheVertical)
{
    const UrdfLimits limits;
    PoseRetargeter retargeter(limits);
    PoseEstimator::PersonPose pose = validPose();
    ArmSpec arm;
    arm.armDeg = 60.0;
    arm.upper = 0.05f; // would be a strong pitch if a hip gave the reference
    arm.hipSeen = false;
    placeArm(&pose, false, arm);
    arm.sx = 0.7f; // shoulders on one spot are no torso
    placeArm(&pose, true, arm);
    const RetargetResult result = run(retargeter, pose);
    EXPECT_TRUE(result.valid[5]);
    EXPECT_EQ(result.angles[5], 0.0);
    EXPECT_NEAR(result.angles[6], 60.0 * kDeg, 1e-4);
    EXPECT_TRUE(result.valid[10]);
    EXPECT_EQ(result.angles[10], 0.0);
    EXPECT_NEAR(result.angles[9], -60.0 * kDeg, 1e-4);
    EXPECT_FALSE(result.valid[7]);
    EXPECT_FALSE(result.valid[8]);
}

TEST(PoseRetargeter, ElbowBendAndDirection)
{
    const UrdfLimits limits;
    struct Case { const char* what; double forearmDeg; double left; double right; };
    // Upper arm straight down; the forearm turned towards +x or -x in the image.
    const Case cases[] = {
        {"straight", 0.0, 0.0, 0.0},
        {"towards +x", 45.0, -45.0, -45.0},
        {"towards -x", -45.0, 45.0, 45.0},
        {"right angle", 90.0, -90.0, -90.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PoseRetargeter retargeter(limits);
        PoseEstimator::PersonPose pose = validPose();
        ArmSpec arm;
        arm.wristSeen = true;
        arm.forearmDeg = c.forearmDeg;
        placeArm(&pose, false, arm);
        arm.sx = 0.7f; // shoulders on one spot are no torso
        placeArm(&pose, true, arm);
        const RetargetResult result = run(retargeter, pose);
        EXPECT_TRUE(result.valid[7]);
        EXPECT_TRUE(result.valid[8]);
        EXPECT_NEAR(result.angles[7], c.left * kDeg, 1e-4);
        EXPECT_NEAR(result.angles[8], c.right * kDeg, 1e-4);
    }
}

TEST(PoseRetargeter, KneesOnlyInFullBodyMode)
{
    struct Case { const char* what; std::string mode; double kneeDeg; float confidence; bool produced; };
    const Case cases[] = {
        {"straight leg", "full_body", 0.0, 0.9f, true},
        {"right angle", "full_body", 90.0, 0.9f, true},
        {"upper body", "upper_body", 90.0, 0.9f, false},
        {"letter case", "Full_Body", 90.0, 0.9f, false},
        {"trailing space", "full_body ", 90.0, 0.9f, false},
        {"empty mode", "", 90.0, 0.9f, false},
        {"leg keypoints unsure", "full_body", 90.0, 0.4f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const UrdfLimits limits;
        PoseRetargeter retargeter(limits);
        PoseEstimator::PersonPose pose = validPose();
        placeLeg(&pose, true, c.kneeDeg, c.confidence);
        placeLeg(&pose, false, c.kneeDeg, c.confidence);
        const RetargetResult result = run(retargeter, pose, false, c.mode);
        EXPECT_EQ(result.valid[2], c.produced);
        EXPECT_EQ(result.valid[13], c.produced);
        const double expected = c.produced ? c.kneeDeg * kDeg : 0.0;
        EXPECT_NEAR(result.angles[2], expected, 1e-4);
        EXPECT_NEAR(result.angles[13], expected, 1e-4);
        for (int channel : kNeverDriven)
            EXPECT_FALSE(result.valid[channel]);
    }
}

TEST(PoseRetargeter, ClampsAndConvertsThroughTheCalibration)
{
    UrdfLimits limits;
    limits.loadCalibrationJsonData(R"({"channels": {"13": {"center": 150, "sign": 1.0,
        "urdf_limits": {"lower": -0.6981, "upper": 1.5708}}, "2": {"center": 141, "sign": -1.0,
        "urdf_limits": {"lower": -0.6981, "upper": 1.5708}}}})", "inline");
    PoseRetargeter retargeter(limits);
    PoseEstimator::PersonPose pose = validPose();
    placeLeg(&pose, true, 120.0);  // bent past the knee's range
    placeLeg(&pose, false, 120.0);
    const RetargetResult result = retargeter.process(pose, false, 1.0f, 0.0f, 5.0f, "full_body");
    EXPECT_NEAR(result.angles[13], 1.5708 - 5 * kDeg, 1e-9);
    EXPECT_EQ(result.pwm[13], 235); // 85.0 degrees + 150
    EXPECT_NEAR(result.angles[2], 1.5708 - 5 * kDeg, 1e-9);
    EXPECT_EQ(result.pwm[2], 56);   // 141 - 85.0

    // The filter remembers the clamped angle, not the raw one: a knee at
    // 2.0 rad is held at 1.5708 - 2 deg, and 1.0 rad next moves on from there
    // (0.35 * 1.0 + 0.65 * 1.535893 = 1.348; from the raw 2.0 it would be 1.65).
    PoseRetargeter filtered(limits);
    placeLeg(&pose, true, 2.0 / kDeg);
    placeLeg(&pose, false, 2.0 / kDeg);
    filtered.process(pose, false, 0.35f, 0.0f, 2.0f, "full_body");
    placeLeg(&pose, true, 1.0 / kDeg);
    placeLeg(&pose, false, 1.0 / kDeg);
    const RetargetResult next = filtered.process(pose, false, 0.35f, 0.0f, 2.0f, "full_body");
    EXPECT_NEAR(next.angles[13], 1.348, 5e-4);
    EXPECT_NEAR(next.angles[2], 1.348, 5e-4);
}

TEST(PoseRetargeter, DrivesExactlyItsDrivenChannels)
{
    using namespace pose_builder;
    // A whole person facing the camera, every keypoint seen, arms and knees bent.
    PoseEstimator::PersonPose pose = validPose();
    const float points[17][2] = {{0.50f, 0.15f}, {0.52f, 0.13f}, {0.48f, 0.13f}, {0.55f, 0.14f}, {0.45f, 0.14f},
                                 {0.60f, 0.30f}, {0.40f, 0.30f}, {0.70f, 0.40f}, {0.30f, 0.40f}, {0.72f, 0.28f},
                                 {0.28f, 0.28f}, {0.57f, 0.60f}, {0.43f, 0.60f}, {0.60f, 0.75f}, {0.40f, 0.75f},
                                 {0.57f, 0.92f}, {0.43f, 0.92f}};
    for (int k = 0; k < 17; ++k)
        place(&pose, k, points[k][0], points[k][1]);
    for (const char* mode : {"upper_body", "full_body"}) {
        for (bool mirror : {false, true}) {
            PoseRetargeter retargeter(*UrdfLimits::instance());
            const RetargetResult result = retargeter.process(pose, mirror, 1.0f, 0.0f, 2.0f, mode);
            ASSERT_TRUE(result.ok);
            EXPECT_EQ(result.valid, PoseRetargeter::drivenChannels(mode)) << mode << " mirror " << mirror;
        }
    }
}
