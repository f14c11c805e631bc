// The demo source: the animated photograph's figure is where the script
// puts it, the painted picture agrees with that geometry, the embedded
// network finds the person where the script says, and "demo:" selects it.
#include "robot/pose_retargeter.h"
#include "vision/cv_drawing.h"
#include "vision/demo_frame_source.h"
#include "vision/pose_estimator.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kLeftShoulder = 5, kRightShoulder = 6, kLeftElbow = 7, kRightElbow = 8;
constexpr int kLeftWrist = 9, kRightWrist = 10, kLeftHip = 11, kRightHip = 12;

// What the retargeter reads from three keypoints: the angle at the middle one.
double angleAt(const FigureKeypoints& k, int a, int b, int c)
{
    const auto at = [&](int i) { return k[static_cast<size_t>(i)]; };
    return PoseRetargeter::computeAngle2D(static_cast<float>(at(a).x), static_cast<float>(at(a).y),
                                          static_cast<float>(at(b).x), static_cast<float>(at(b).y),
                                          static_cast<float>(at(c).x), static_cast<float>(at(c).y));
}

double direction(const FigureKeypoints& k, int from, int to)
{
    return std::atan2(k[static_cast<size_t>(to)].y - k[static_cast<size_t>(from)].y,
                      k[static_cast<size_t>(to)].x - k[static_cast<size_t>(from)].x);
}

// Mean of the 3 x 3 pixels around a point, per channel.
std::array<double, 3> colourAround(const cv::Mat& frame, FigurePoint p)
{
    std::array<double, 3> sum{};
    const int cx = static_cast<int>(std::lround(p.x));
    const int cy = static_cast<int>(std::lround(p.y));
    for (int y = cy - 1; y <= cy + 1; ++y)
        for (int x = cx - 1; x <= cx + 1; ++x)
            for (int c = 0; c < 3; ++c)
                sum[static_cast<size_t>(c)] += frame.ptr(y)[3 * x + c] / 9.0;
    return sum;
}

class DemoSource : public testing::Test
{
protected:
    void SetUp() override
    {
        m_photograph = DemoFrameSource::footballer();
        ASSERT_FALSE(m_photograph.image.empty()) << "the photograph is not in the resource bundle";
        m_animator = std::make_unique<DemoAnimator>(m_photograph, cv::Size(640, 480));
    }

    DemoPhotograph m_photograph;
    std::unique_ptr<DemoAnimator> m_animator;
};

// Times across the loop, each with another mix of raised and lowered arms.
const double kScriptTimes[] = {0.0, 1.7, 3.1, 5.0, 7.4, 9.9};

} // namespace

TEST_F(DemoSource, FillsTheFrameKeepingThePhotographsShape)
{
    EXPECT_EQ(m_animator->frameSize().width, 640);
    EXPECT_EQ(m_animator->frameSize().height, 399);
    EXPECT_EQ(DemoAnimator(m_photograph, cv::Size(320, 400)).frameSize().height, 200);
}

TEST_F(DemoSource, TheFigureHoldsTheScriptedAnglesAtEveryTime)
{
    const DemoJointAngles rest = m_animator->restAngles();
    const FigureKeypoints still = m_animator->keypointsAt(rest);
    for (double t : kScriptTimes) {
        SCOPED_TRACE(t);
        const DemoJointAngles script = DemoScript::at(t);
        const FigureKeypoints k = m_animator->keypointsAt(script);
        EXPECT_NEAR(angleAt(k, kLeftHip, kLeftShoulder, kLeftElbow), script.leftShoulder, 1e-4);
        EXPECT_NEAR(angleAt(k, kRightHip, kRightShoulder, kRightElbow), script.rightShoulder, 1e-4);
        EXPECT_NEAR(kPi - angleAt(k, kLeftShoulder, kLeftElbow, kLeftWrist), script.leftElbow, 1e-4);
        EXPECT_NEAR(kPi - angleAt(k, kRightShoulder, kRightElbow, kRightWrist), script.rightElbow, 1e-4);
        // The head turns as one piece: the line between the eyes by the tilt.
        EXPECT_NEAR(direction(k, 2, 1) - direction(still, 2, 1), script.headTilt, 1e-9);
        // Limbs keep their lengths; the body and legs stay put.
        EXPECT_NEAR(std::hypot(k[7].x - k[9].x, k[7].y - k[9].y),
                    std::hypot(still[7].x - still[9].x, still[7].y - still[9].y), 1e-9);
        for (int fixed : {kLeftShoulder, kRightShoulder, kLeftHip, kRightHip, 13, 14, 15, 16}) {
            EXPECT_EQ(k[static_cast<size_t>(fixed)].x, still[static_cast<size_t>(fixed)].x);
            EXPECT_EQ(k[static_cast<size_t>(fixed)].y, still[static_cast<size_t>(fixed)].y);
        }
    }
    // The photograph's own pose leaves every keypoint where it was placed.
    for (size_t i = 0; i < still.size(); ++i) {
        EXPECT_NEAR(still[i].x, (m_photograph.keypoints[i].x + 0.5) * 640.0 / 548.0 - 0.5, 1e-9) << i;
        EXPECT_NEAR(still[i].y, (m_photograph.keypoints[i].y + 0.5) * 399.0 / 342.0 - 0.5, 1e-9) << i;
    }
}

TEST_F(DemoSource, ThePaintedLimbsAndHeadAreWhereTheirKeypointsAre)
{
    cv::Mat restFrame, frame;
    const DemoJointAngles rest = m_animator->restAngles();
    m_animator->render(rest, restFrame);
    const FigureKeypoints still = m_animator->keypointsAt(rest);
    for (double t : kScriptTimes) {
        SCOPED_TRACE(t);
        m_animator->render(DemoScript::at(t), frame);
        const FigureKeypoints moved = m_animator->keypointsAt(DemoScript::at(t));
        for (int k : {0, kLeftElbow, kRightElbow, kLeftWrist, kRightWrist}) {
            const auto was = colourAround(restFrame, still[static_cast<size_t>(k)]);
            const auto is = colourAround(frame, moved[static_cast<size_t>(k)]);
            for (size_t c = 0; c < 3; ++c)
                EXPECT_NEAR(is[c], was[c], 14.0) << "keypoint " << k << " channel " << c;
        }
    }
}

TEST_F(DemoSource, TheEmbeddedNetworkFindsThePersonWhereTheScriptSays)
{
    PoseEstimator estimator;
    ASSERT_TRUE(estimator.init(PoseEstimator::kEmbeddedModelPath, "cpu"));
    const QString artifacts = QStringLiteral(KESTRO_BINARY_DIR "/artifacts/demo");
    QDir().mkpath(artifacts);
    // A keypoint within 5% of the frame's width counts as found: the hand
    // placement itself is good to about 2%.
    const double tolerance = 0.05 * 640.0;
    int found = 0, asked = 0;
    for (double t : kScriptTimes) {
        cv::Mat frame;
        m_animator->render(DemoScript::at(t), frame);
        const FigureKeypoints scripted = m_animator->keypointsAt(DemoScript::at(t));
        const PoseEstimator::PersonPose pose = estimator.infer(frame, 0.5f, 0.4f, "largest");
        EXPECT_TRUE(pose.valid) << "t = " << t;
        for (int k : {0, kLeftShoulder, kRightShoulder, kLeftElbow, kRightElbow, kLeftWrist, kRightWrist}) {
            const auto& kp = pose.keypoints[static_cast<size_t>(k)];
            const FigurePoint& want = scripted[static_cast<size_t>(k)];
            const double off = std::hypot(kp.x * frame.cols - want.x, kp.y * frame.rows - want.y);
            std::printf("t %4.1f keypoint %2d off by %5.1f px (confidence %.2f)\n", t, k, off, kp.confidence);
            ++asked;
            found += pose.valid && off <= tolerance ? 1 : 0;
            cv::circle(frame, cv::Point(static_cast<int>(want.x), static_cast<int>(want.y)), 4,
                       cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
            cv::circle(frame, cv::Point(static_cast<int>(kp.x * frame.cols), static_cast<int>(kp.y * frame.rows)),
                       3, cv::Scalar(0, 200, 0), cv::FILLED, cv::LINE_AA);
        }
        // For a person to look at: scripted joints as rings, found ones as dots.
        QImage(frame.data, frame.cols, frame.rows, static_cast<qsizetype>(frame.step), QImage::Format_BGR888)
            .save(artifacts + QStringLiteral("/demo-%1.png").arg(t, 0, 'f', 1));
    }
    EXPECT_GE(found, asked * 9 / 10) << found << " of " << asked << " keypoints found";
}

TEST(DemoSourceLocation, OnlyTheDemoSchemeSelectsTheDemo)
{
    struct Case
    {
        const char* location;
        bool demo;
    };
    const Case cases[] = {
        {"demo:", true},           {"DEMO:", true},  {"Demo:", true}, {"demo", false},
        {"demo:footballer", false}, {"", false}, {"/videos/demo.mp4", false}, {"rtsp://demo:554/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        EXPECT_EQ(DemoFrameSource::isDemoLocation(c.location), c.demo);
        ASSERT_EQ(static_cast<bool>(DemoFrameSource::factoryFor(c.location, false)), c.demo);
        if (!c.demo)
            continue;
        // A thread that mirrors gets the picture mirrored, to show it as taken.
        for (bool threadMirrors : {false, true}) {
            std::string error;
            const std::unique_ptr<FrameSource> source =
                DemoFrameSource::factoryFor(c.location, threadMirrors)(FrameSourceRequest{640, 480, 30}, error);
            ASSERT_NE(source, nullptr) << error;
            cv::Mat frame, expected;
            ASSERT_TRUE(source->read(frame));
            const auto& demo = dynamic_cast<const DemoFrameSource&>(*source);
            demo.animator().render(DemoScript::at(demo.lastFrameSeconds()), expected);
            if (threadMirrors)
                cv::flip(expected, expected, 1);
            ASSERT_EQ(frame.cols, 640);
            ASSERT_EQ(frame.rows, 399);
            EXPECT_EQ(std::memcmp(frame.data, expected.data, frame.step * static_cast<size_t>(frame.rows)), 0);
        }
    }
}

TEST(DemoSourcePacing, FramesComeOnTheRequestedRatesGridAndShowItsTime)
{
    const DemoPhotograph photograph = DemoFrameSource::footballer();
    ASSERT_FALSE(photograph.image.empty());
    DemoFrameSource source(photograph, FrameSourceRequest{320, 240, 20});
    cv::Mat frame, expected;
    ASSERT_TRUE(source.read(frame));
    double previous = source.lastFrameSeconds();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(source.read(frame));
        const double now = DemoFrameSource::clockSeconds(std::chrono::steady_clock::now());
        // Never handed out before its time, and on the 50 ms grid.
        EXPECT_GE(now, source.lastFrameSeconds());
        EXPECT_NEAR(std::remainder(source.lastFrameSeconds() * 20.0, 1.0), 0.0, 1e-6);
        EXPECT_GE(source.lastFrameSeconds() - previous, 0.05 - 1e-6);
        previous = source.lastFrameSeconds();
    }
    source.animator().render(DemoScript::at(source.lastFrameSeconds()), expected);
    ASSERT_EQ(frame.rows, expected.rows);
    EXPECT_EQ(std::memcmp(frame.data, expected.data, frame.step * static_cast<size_t>(frame.rows)), 0);
}

TEST(DemoScript, LoopsWithoutASeamWithinAPersonsReachAndSpeed)
{
    const auto fields = [](const DemoJointAngles& a) {
        return std::array<double, 5>{a.leftShoulder, a.rightShoulder, a.leftElbow, a.rightElbow, a.headTilt};
    };
    const double degree = kPi / 180.0;
    // The camera sees every pose at 30 fps: no joint faster than 80 deg/s.
    const double step = 0.01, fastest = 80.0 * degree;
    for (double t = -DemoScript::kLoopSeconds; t < 2 * DemoScript::kLoopSeconds; t += step) {
        const auto now = fields(DemoScript::at(t));
        const auto next = fields(DemoScript::at(t + step));
        const auto loopLater = fields(DemoScript::at(t + DemoScript::kLoopSeconds));
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_NEAR(loopLater[i], now[i], 1e-9) << "t " << t << " field " << i;
            ASSERT_LE(std::abs(next[i] - now[i]) / step, fastest) << "t " << t << " field " << i;
        }
        // Arms between hanging and raised, elbows between straight and a
        // right angle, the head tilted a little.
        for (size_t i : {0u, 1u})
            ASSERT_TRUE(now[i] >= 30 * degree && now[i] <= 150 * degree) << "t " << t;
        for (size_t i : {2u, 3u})
            ASSERT_TRUE(now[i] >= 5 * degree && now[i] <= 95 * degree) << "t " << t;
        ASSERT_LE(std::abs(now[4]), 15 * degree) << "t " << t;
    }
}
