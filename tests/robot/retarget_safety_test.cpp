// The promise the dashboard makes to the robot: whatever the camera sees and
// however the operator tunes the filter, every commanded PWM value stands for
// an angle inside the joint's safe range, and the legs' balance joints are
// never commanded.
#include "robot/motion_stream.h"
#include "robot/pose_retargeter.h"

#include "tests/robot/embedded_resources.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
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

    // What a failing network or a frozen picture may hand over: every point
    // on one spot, points outside the frame, values that are not numbers,
    // or one limb collapsed onto its joint.
    PoseEstimator::PersonPose adversarial()
    {
        PoseEstimator::PersonPose pose = next();
        pose.valid = true;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        switch (std::uniform_int_distribution<int>(0, 3)(m_random)) {
        case 0: {
            const float x = uniform(-0.5f, 1.5f), y = uniform(-0.5f, 1.5f);
            for (auto& keypoint : pose.keypoints)
                keypoint = {x + uniform(-0.004f, 0.004f), y + uniform(-0.004f, 0.004f), uniform(0.5f, 1.0f)};
            break;
        }
        case 1:
            for (auto& keypoint : pose.keypoints) {
                keypoint.x = uniform(-3.0f, 4.0f);
                keypoint.y = uniform(-3.0f, 4.0f);
            }
            break;
        case 2:
            for (auto& keypoint : pose.keypoints)
                keypoint = {chance(0.5) ? nan : keypoint.x, chance(0.5) ? nan : keypoint.y,
                            chance(0.3) ? nan : keypoint.confidence};
            break;
        default: {
            const int joint = std::uniform_int_distribution<int>(5, 8)(m_random); // a shoulder or elbow
            pose.keypoints[joint + 2] = pose.keypoints[joint];
            pose.keypoints[joint + 2].confidence = 0.9f;
            pose.keypoints[joint].confidence = 0.9f;
            break;
        }
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

namespace {

bool collapsed(const PoseEstimator::Keypoint& a, const PoseEstimator::Keypoint& b)
{
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(b.x) && std::isfinite(b.y) &&
           std::hypot(a.x - b.x, a.y - b.y) < 0.01f;
}

} // namespace

// The whole road from a pose to the wire, with the stream's speed limit,
// stance presets and watchdog: over random and adversarial poses no
// command leaves the joint range, no step is larger than the speed limit
// allows, nothing is driven from a collapsed limb, and a run of poses with
// nothing usable in them stops the stream like no pose at all.
TEST(RetargetSafety, TheStreamStaysInRangeAtTheSpeedLimitAndIgnoresDegeneratePoses)
{
    initEmbeddedResources();
    UrdfLimits limits;
    ASSERT_TRUE(limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
    const unsigned seed = 20261208u;
    RandomPoses poses(seed);
    const int periods[] = {16, 33, 200};
    const double speeds[] = {0.0, 10.0, 180.0, 500.0};
    const char* presets[] = {"neutral", "combat", "no such preset"};
    int frames = 0;
    int limitedSteps = 0;
    int degenerateArms = 0;

    for (int session = 0; session < 60; ++session) {
        PoseRetargeter retargeter(limits);
        MotionStream stream(limits);
        MotionStream::Settings settings;
        settings.periodMs = periods[session % 3];
        settings.maxVelocityDegS = speeds[(session / 3) % 4];
        settings.stancePreset = presets[session % 3];
        settings.mode = poses.chance(0.5) ? "full_body" : "upper_body";
        settings.safetyMarginDeg = poses.chance(0.2) ? 0.0 : poses.uniform(0.0f, 15.0f);
        settings.watchdogTimeoutMs = 300;
        const double maxStep = JointSpeedLimiter::maxStepRad(settings.maxVelocityDegS, settings.periodMs);
        const bool mirror = poses.chance(0.5);
        // Some sessions hand over nothing but adversarial poses, so that the
        // watchdog must run out on them.
        const bool onlyAdversarial = session % 5 == 4;
        std::int64_t lastUsable = -1000000;
        std::int64_t nextTick = 0;

        for (std::int64_t now = 0; now < 4000; now += 10) {
            if (poses.chance(0.8)) {
                const PoseEstimator::PersonPose pose =
                    onlyAdversarial || poses.chance(0.3) ? poses.adversarial() : poses.next();
                const RetargetResult result = retargeter.process(pose, mirror, 1.0f, 0.0f,
                                                                 static_cast<float>(settings.safetyMarginDeg),
                                                                 settings.mode);
                // Robot-left arm channels 5, 6, 7 come from the person's left
                // (5, 7, 9) in a mirrored frame, else from the right.
                for (const bool robotLeft : {true, false}) {
                    const int shoulder = (robotLeft == mirror) ? 5 : 6;
                    if (!collapsed(pose.keypoints[shoulder], pose.keypoints[shoulder + 2]))
                        continue;
                    ++degenerateArms;
                    for (int channel : robotLeft ? std::array<int, 3>{5, 6, 7} : std::array<int, 3>{8, 9, 10})
                        ASSERT_FALSE(result.valid[channel]) << "arm from a collapsed upper arm, channel " << channel;
                }
                if (result.ok && stream.setTarget(result.angles, result.valid, now))
                    lastUsable = now;
            }
            if (now < nextTick)
                continue;
            nextTick += settings.periodMs;
            const JointAngleArray before = stream.commandedAngles();
            const ServoPwmArray beforePwm = stream.commandedPwm();
            const std::optional<MotionStream::Frame> frame = stream.nextFrame(now, settings);
            SCOPED_TRACE(testing::Message() << "seed " << seed << " session " << session << " at " << now << " ms");
            ASSERT_EQ(frame.has_value(), now - lastUsable <= settings.watchdogTimeoutMs);
            if (!frame)
                continue;
            ++frames;
            for (int channel = 0; channel < kServoCount; ++channel) {
                if (!frame->channels[channel])
                    continue;
                const UrdfLimits::ChannelCalibration calibration = limits.getCalibration(channel);
                const double perStep = std::abs(calibration.radPerPwm * calibration.sign);
                const double commanded = (frame->pwm[channel] - calibration.center) * calibration.radPerPwm *
                                         calibration.sign;
                const SafeRange joint = safeRange(calibration, 0.0);
                ASSERT_GE(commanded, joint.lower - perStep / 2 - 1e-12) << "channel " << channel;
                ASSERT_LE(commanded, joint.upper + perStep / 2 + 1e-12) << "channel " << channel;
                if (std::isinf(maxStep))
                    continue;
                ++limitedSteps;
                ASSERT_LE(std::abs(frame->angles[channel] - before[channel]), maxStep + 1e-12) << "channel " << channel;
                // Whole servo steps: at most one more than the angle allows.
                ASSERT_LE(std::abs(frame->pwm[channel] - beforePwm[channel]), maxStep / perStep + 1.0)
                    << "channel " << channel;
            }
            // Now and then the link refuses a frame: the next ramp starts
            // from what the robot really got.
            if (poses.chance(0.9))
                stream.commit(*frame);
        }
    }
    // The property must have been exercised, not skipped.
    EXPECT_GT(frames, 1000);
    EXPECT_GT(limitedSteps, 10000);
    EXPECT_GT(degenerateArms, 100);
}
