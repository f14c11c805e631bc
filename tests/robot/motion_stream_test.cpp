// The speed limit's step and the stance presets on the embedded robot model;
// the ramp and the watchdog are exercised by the stream's property test
// (retarget_safety_test.cpp) and on the wire (tests/app).
#include "robot/motion_stream.h"

#include "tests/robot/embedded_resources.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kDegree = kPi / 180.0;

class MotionStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        initEmbeddedResources();
        ASSERT_TRUE(m_limits.init(":/model/kestro.urdf", ":/model/calibration.json"));
        m_stream = std::make_unique<MotionStream>(m_limits);
    }

    UrdfLimits m_limits;
    std::unique_ptr<MotionStream> m_stream;
};

} // namespace

TEST(JointSpeedLimiter, StepPerTickFromSpeedAndPeriod)
{
    const double inf = std::numeric_limits<double>::infinity();
    const struct
    {
        double degPerSecond;
        int periodMs;
        double step;
    } cases[] = {
        {180.0, 33, 5.94 * kDegree}, {180.0, 1000, kPi}, {10.0, 200, 2.0 * kDegree},
        {0.0, 33, inf}, {-30.0, 33, inf}, {std::nan(""), 33, inf}, {inf, 33, inf},
    };
    for (const auto& c : cases) {
        const double step = JointSpeedLimiter::maxStepRad(c.degPerSecond, c.periodMs);
        if (std::isinf(c.step))
            EXPECT_EQ(step, c.step) << c.degPerSecond;
        else
            EXPECT_NEAR(step, c.step, 1e-12) << c.degPerSecond;
    }
}

TEST_F(MotionStreamTest, PresetsHoldTheLegsWithFeetFlatInsideTheSafeRange)
{
    using namespace ServoChannel;
    for (const char* name : {"neutral", "combat"}) {
        SCOPED_TRACE(name);
        const StancePreset preset = StancePreset::named(name);
        EXPECT_EQ(preset.name, name);
        for (const auto& leg : {std::array<int, 3>{LeftHipPitch, LeftKneePitch, LeftAnklePitch},
                                std::array<int, 3>{RightHipPitch, RightKneePitch, RightAnklePitch}}) {
            // Every pitch joint turns about the same axis: the sole stays
            // level when the three add up to zero, and the hip stays above
            // the ankle when hip and ankle share the knee's bend.
            EXPECT_NEAR(preset.angles[leg[0]] + preset.angles[leg[1]] + preset.angles[leg[2]], 0.0, 1e-12);
            EXPECT_NEAR(preset.angles[leg[0]], preset.angles[leg[2]], 1e-12);
        }
        EXPECT_NEAR(preset.angles[LeftHipRoll] + preset.angles[LeftAnkleRoll], 0.0, 1e-12);
        EXPECT_NEAR(preset.angles[RightHipRoll] + preset.angles[RightAnkleRoll], 0.0, 1e-12);
        const ServoValidArray legs = StancePreset::heldChannels("upper_body");
        for (int channel = 0; channel < kServoCount; ++channel) {
            if (!legs[channel])
                continue;
            // Untouched by the clamp even at the dialog's largest margin.
            EXPECT_DOUBLE_EQ(m_limits.clamp(channel, preset.angles[channel], 15.0), preset.angles[channel])
                << "channel " << channel;
        }
    }
    const StancePreset combat = StancePreset::named("combat");
    EXPECT_GT(combat.angles[LeftKneePitch], 0.0);   // bent
    EXPECT_GT(combat.angles[LeftHipRoll], 0.0);     // both feet out
    EXPECT_LT(combat.angles[RightHipRoll], 0.0);
    EXPECT_EQ(StancePreset::named("Combat").name, "neutral");

    // The legs go with every frame: knees too unless the mode tracks them.
    JointAngleArray target{};
    ServoValidArray head{};
    head[HeadYaw] = true;
    ASSERT_TRUE(m_stream->setTarget(target, head, 0));
    MotionStream::Settings settings;
    settings.maxVelocityDegS = 0.0;
    settings.stancePreset = "combat";
    for (const char* mode : {"upper_body", "full_body"}) {
        settings.mode = mode;
        const auto frame = m_stream->nextFrame(0, settings);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->channels, [&] {
            ServoValidArray expected = StancePreset::heldChannels(mode);
            expected[HeadYaw] = true;
            return expected;
        }());
        EXPECT_EQ(frame->channels[LeftKneePitch], std::string(mode) == "upper_body");
        EXPECT_EQ(frame->pwm[LeftHipPitch], m_limits.angleToPwm(LeftHipPitch, combat.angles[LeftHipPitch], 0.0));
    }
}
