// The promise the dashboard makes to the robot: whatever the camera sees and
// however the operator tunes the filter, every commanded PWM value stands for
// an angle inside the joint's safe range, and the legs' balance joints are
// never commanded.
#include "robot/pose_retargeter.h"

#include "tests/robot/embedded_resources.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

constexpr int kNeverDriven[] = {0, 1, 3, 4, 11, 12, 14, 15};

struct SafeRange
{
    double lower;
    double upper;
};

// The range the clamp promises for a margin, restated from the calibration.
SafeRange safeRange(const UrdfLimits::ChannelCalibration& calibration, double marginDeg)
{
    const double lo = std::min(calibration.lower, calibration.upper);
    const double hi = std::max(calibration.lower, calibration.upper);
    const double margin = marginDeg * kPi / 180.0;
    if (hi - margin < lo + margin)
        return {lo, hi};
    return {lo + margin, hi - margin};
}

class RandomPoses
{
public:
    explicit RandomPoses(unsigned seed) : m_random(seed) {}

    PoseEstimator::PersonPose next()
    {
        PoseEstimator::PersonPose pose;
        pose.valid = chance(0.95);
        pose.score = uniform(0.0f, 1.0f);
        // Mostly a loosely human layout, sometimes anywhere in the frame, and
        // now and then values a broken network could emit.
        const bool scattered = chance(0.3);
        for (int k = 0; k < PoseEstimator::kKeypointCount; ++k) {
            auto& keypoint = pose.keypoints[k];
            const float baseY = scattered ? 0.5f : 0.1f + 0.05f * static_cast<float>(k);
            keypoint.x = std::clamp(uniform(0.0f, 1.0f), 0.0f, 1.0f);
            keypoint.y = std::clamp(baseY + uniform(-0.3f, 0.3f), 0.0f, 1.0f);
            keypoint.confidence = chance(0.2) ? uniform(0.0f, 0.45f) : uniform(0.0f, 1.0f);
            if (chance(0.03))
                keypoint.x = keypoint.y; // coincident-ish points
            if (chance(0.005))
                keypoint.x = std::numeric_limits<float>::quiet_NaN();
            if (chance(0.005))
                keypoint.y = std::numeric_limits<float>::infinity();
        }
        return pose;
    }

    bool chance(double p) { return std::bernoulli_distribution(p)(m_random); }
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(m_random); }

private:
    std::mt19937 m_random;
};

} // namespace

TEST(RetargetSafety, EveryCommandMapsBackIntoTheSafeRange)
{
    initEmbeddedResources();
    UrdfLimits limits;
    ASSERT_TRUE(limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
    ASSERT_EQ(limits.getCalibration(16).name, "head_yaw_joint");

    const unsigned seed = 20240607u;
    RandomPoses poses(seed);
    int producedChannels = 0;
    int frames = 0;
    // Several operators, each a sequence of frames through one retargeter, so
    // that the filter history is exercised along with single frames.
    for (int session = 0; session < 40; ++session) {
        PoseRetargeter retargeter(limits);
        for (int frame = 0; frame < 150; ++frame, ++frames) {
            const PoseEstimator::PersonPose pose = poses.next();
            const bool mirror = poses.chance(0.5);
            const std::string mode = poses.chance(0.5) ? "full_body" : "upper_body";
            const float alpha = poses.chance(0.1) ? (poses.chance(0.5) ? 0.0f : 1.0f) : poses.uniform(0.0f, 1.0f);
            const float deadband = poses.uniform(0.0f, 5.0f);
            const float margin = poses.chance(0.1) ? 0.0f : poses.uniform(0.0f, 15.0f);
            const RetargetResult result = retargeter.process(pose, mirror, alpha, deadband, margin, mode);
            SCOPED_TRACE(testing::Message() << "seed " << seed << " frame " << frames << " mode " << mode
                                            << " mirror " << mirror << " alpha " << alpha << " margin " << margin);
            ASSERT_EQ(result.ok, pose.valid);

            for (int channel = 0; channel < kServoCount; ++channel) {
                const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
                if (!result.valid[channel]) {
                    ASSERT_EQ(result.pwm[channel], calibration.center) << "channel " << channel;
                    ASSERT_EQ(result.angles[channel], 0.0) << "channel " << channel;
                    continue;
                }
                ++producedChannels;
                const SafeRange safe = safeRange(calibration, margin);
                // Within rounding of the margin's conversion to radians.
                ASSERT_GE(result.angles[channel], safe.lower - 1e-12) << "channel " << channel;
                ASSERT_LE(result.angles[channel], safe.upper + 1e-12) << "channel " << channel;
                // The PWM value is rounded to whole servo steps, so the angle
                // it stands for may lie up to half a step beyond the safe
                // range (and, with no margin, beyond the joint's range by as
                // much), never more.
                const double halfStep = std::abs(calibration.radPerPwm * calibration.sign) / 2 + 1e-12;
                const double commanded =
                    (result.pwm[channel] - calibration.center) * calibration.radPerPwm * calibration.sign;
                ASSERT_GE(commanded, safe.lower - halfStep) << "channel " << channel << " PWM " << result.pwm[channel];
                ASSERT_LE(commanded, safe.upper + halfStep) << "channel " << channel << " PWM " << result.pwm[channel];
                const double reported = limits.pwmToAngle(channel, result.pwm[channel]);
                ASSERT_GE(reported, safe.lower - halfStep) << "channel " << channel;
                ASSERT_LE(reported, safe.upper + halfStep) << "channel " << channel;
            }
            for (int channel : kNeverDriven)
                ASSERT_FALSE(result.valid[channel]) << "channel " << channel;
            if (mode != "full_body") {
                ASSERT_FALSE(result.valid[2]);
                ASSERT_FALSE(result.valid[13]);
            }
        }
    }
    // The poses must actually drive joints for the property to mean anything.
    EXPECT_GT(producedChannels, frames * 2);
}
