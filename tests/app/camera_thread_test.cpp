// The camera thread: the overlay's arithmetic on known poses, frame pacing,
// and the synthetic feed a machine without a camera gets.
#include "tests/app/app_test_support.h"
#include "vision/camera_thread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

using kestro_app_test::processEventsUntil;
using namespace std::chrono_literals;

namespace {

PoseEstimator::PersonPose poseWithBox(float x1, float y1, float x2, float y2, float score)
{
    PoseEstimator::PersonPose pose;
    pose.x1 = x1;
    pose.y1 = y1;
    pose.x2 = x2;
    pose.y2 = y2;
    pose.score = score;
    pose.valid = true;
    return pose;
}

bool sameColor(const cv::Scalar& a, const cv::Scalar& b)
{
    return a.val[0] == b.val[0] && a.val[1] == b.val[1] && a.val[2] == b.val[2];
}

} // namespace

TEST(CameraThread, PersonBoxAndLabelPlacement)
{
    struct Case
    {
        float x1, y1, x2, y2, score;
        cv::Rect box;
        cv::Point label;
        const char* text;
    };
    const Case cases[] = {
        {0.25f, 0.5f, 0.75f, 1.0f, 0.87f, {160, 240, 320, 240}, {160, 232}, "Person: 0.87"},
        // 10 pixels from the top: the label would leave the frame, so it stays at y = 20.
        {0.1f, 10.0f / 480.0f, 0.3f, 0.5f, 0.5f, {64, 10, 128, 230}, {64, 20}, "Person: 0.50"},
        // Pixels are truncated toward zero, not rounded: 0.2999 * 640 = 191.9.
        {0.2999f, 0.2999f, 0.9f, 0.9f, 1.0f, {191, 143, 384, 288}, {191, 135}, "Person: 1.00"},
    };
    for (const Case& c : cases) {
        const CameraThread::SkeletonOverlay overlay =
            CameraThread::computeSkeletonOverlay(poseWithBox(c.x1, c.y1, c.x2, c.y2, c.score), 640, 480, 0.4f);
        EXPECT_EQ(overlay.box.x, c.box.x) << c.text;
        EXPECT_EQ(overlay.box.y, c.box.y) << c.text;
        EXPECT_EQ(overlay.box.width, c.box.width) << c.text;
        EXPECT_EQ(overlay.box.height, c.box.height) << c.text;
        EXPECT_EQ(overlay.labelOrigin.x, c.label.x) << c.text;
        EXPECT_EQ(overlay.labelOrigin.y, c.label.y) << c.text;
        EXPECT_EQ(overlay.label, c.text);
    }
}

TEST(CameraThread, BonesByConfidenceBand)
{
    const cv::Scalar green(0, 255, 0), orange(0, 200, 255), red(0, 0, 255);
    struct Case
    {
        float first, second, threshold;
        bool drawn;
        cv::Scalar color;
    };
    const Case cases[] = {
        {0.9f, 0.3f, 0.4f, false, {}},
        {0.8f, 0.6f, 0.4f, true, green},   // mean 0.7
        {0.5f, 0.45f, 0.4f, true, orange}, // mean 0.475
        {0.3f, 0.3f, 0.2f, true, red},
        {0.4f, 0.4f, 0.4f, true, orange},  // at the threshold counts as seen
    };
    for (const Case& c : cases) {
        // Bone (5, 7), the left upper arm; every other keypoint is unseen.
        PoseEstimator::PersonPose pose = poseWithBox(0.f, 0.f, 1.f, 1.f, 0.9f);
        pose.keypoints[5] = {0.5015f, 0.25f, c.first};
        pose.keypoints[7] = {0.75f, 0.999f, c.second};
        const CameraThread::SkeletonOverlay overlay = CameraThread::computeSkeletonOverlay(pose, 640, 480, c.threshold);
        if (!c.drawn) {
            EXPECT_TRUE(overlay.bones.empty()) << c.first << " " << c.second;
            // The confident joint is still drawn on its own.
            EXPECT_EQ(overlay.joints.size(), 1u);
            continue;
        }
        ASSERT_EQ(overlay.bones.size(), 1u) << c.first << " " << c.second;
        EXPECT_TRUE(sameColor(overlay.bones[0].color, c.color)) << c.first << " " << c.second;
        EXPECT_EQ(overlay.bones[0].from.x, 320); // 320.96 truncated
        EXPECT_EQ(overlay.bones[0].from.y, 120);
        EXPECT_EQ(overlay.bones[0].to.x, 480);
        EXPECT_EQ(overlay.bones[0].to.y, 479);
        EXPECT_EQ(overlay.joints.size(), 2u);
    }
}

TEST(CameraThread, WholeSkeletonFollowsTheBoneTable)
{
    PoseEstimator::PersonPose pose = kestro_app_test::armsPose(0.0);
    const CameraThread::SkeletonOverlay overlay = CameraThread::computeSkeletonOverlay(pose, 640, 480, 0.4f);
    ASSERT_EQ(overlay.bones.size(), CameraThread::kSkeletonBones.size());
    ASSERT_EQ(overlay.joints.size(), 17u);
    for (std::size_t i = 0; i < overlay.bones.size(); ++i) {
        const auto& keypoint = pose.keypoints[CameraThread::kSkeletonBones[i].first];
        EXPECT_EQ(overlay.bones[i].from.x, static_cast<int>(keypoint.x * 640.0f)) << i;
        EXPECT_EQ(overlay.bones[i].from.y, static_cast<int>(keypoint.y * 480.0f)) << i;
    }
}

TEST(CameraThread, FrameBudgetForRate)
{
    const std::pair<int, int> cases[] = {{0, 33}, {-5, 33}, {30, 33}, {60, 16}, {20, 50}, {1000, 1}};
    for (const auto& [rate, budget] : cases)
        EXPECT_EQ(CameraThread::frameBudgetMs(rate), budget) << rate;
}

TEST(CameraThread, SyntheticPictureLayout)
{
    const cv::Mat frame = CameraThread::syntheticFrame(640, 480, 0.0);
    ASSERT_EQ(frame.cols, 640);
    ASSERT_EQ(frame.rows, 480);
    auto pixel = [&frame](int x, int y) {
        const unsigned char* p = frame.ptr(y) + 3 * x;
        return cv::Scalar(p[0], p[1], p[2]);
    };
    EXPECT_TRUE(sameColor(pixel(5, 20), cv::Scalar(40, 40, 45)));   // background
    EXPECT_TRUE(sameColor(pixel(5, 120), cv::Scalar(55, 55, 60)));  // grid line y = 120
    EXPECT_TRUE(sameColor(pixel(200, 300), cv::Scalar(55, 55, 60))); // grid line x = 200
    // Body line down the middle from (320, 185) to (320, 290).
    EXPECT_TRUE(sameColor(pixel(320, 240), cv::Scalar(0, 255, 200)));
    // Right arm at phase 0 ends at (400, 220 + 50): cos 0 = 1.
    EXPECT_TRUE(sameColor(pixel(399, 269), cv::Scalar(0, 200, 255)));
}

// Each picture starts from a kept background: neither another size nor the
// arms of an earlier picture may show through.
TEST(CameraThread, SyntheticPictureDependsOnlyOnItsSizeAndPhase)
{
    auto bytes = [](const cv::Mat& frame) {
        std::vector<unsigned char> all;
        for (int y = 0; y < frame.rows; ++y)
            all.insert(all.end(), frame.ptr(y), frame.ptr(y) + 3 * frame.cols);
        return all;
    };
    const auto small = bytes(CameraThread::syntheticFrame(320, 240, 1.0));
    const auto large = bytes(CameraThread::syntheticFrame(640, 480, 2.0));
    const struct
    {
        int width, height;
        double phase;
        const std::vector<unsigned char>& expected;
    } cases[] = {{640, 480, 2.0, large}, {320, 240, 1.0, small}, {640, 480, 2.0, large}};
    for (const auto& c : cases) {
        CameraThread::syntheticFrame(c.width, c.height, c.phase + 1.5); // arms elsewhere
        EXPECT_EQ(bytes(CameraThread::syntheticFrame(c.width, c.height, c.phase)), c.expected) << c.width;
    }
    EXPECT_NE(small.size(), large.size());
}

TEST(CameraThread, MissingDeviceGivesOneErrorAndASteadySyntheticFeed)
{
    // The capture layer refuses every device while this is set (the test
    // program sets it for all tests), so no real camera can interfere.
    ASSERT_NE(std::getenv("KESTRO_DISABLE_AUTO_CAMERA"), nullptr);
    CameraThread thread(nullptr);
    thread.setCameraConfig(3, 320, 240, 20, true);

    std::vector<QString> errors;
    std::vector<QImage> images;
    int invalidPoses = 0;
    QObject::connect(&thread, &CameraThread::cameraError, [&](const QString& message) { errors.push_back(message); });
    QObject::connect(&thread, &CameraThread::frameReady,
                     [&](const QImage& image, const PoseEstimator::PersonPose& pose) {
                         images.push_back(image);
                         invalidPoses += pose.valid ? 0 : 1;
                     });
    QElapsedTimer clock;
    clock.start();
    thread.start();
    ASSERT_TRUE(processEventsUntil([&] { return images.size() >= 40; }, 30s));
    const qint64 elapsedMs = clock.elapsed();
    ASSERT_TRUE(processEventsUntil([&] { return thread.getActualFps() > 0.0; }, 10s));
    const double fps = thread.getActualFps();
    thread.stopCapture();
    thread.wait();
    processEventsUntil([] { return false; }, 50ms);

    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], QStringLiteral("Failed to open camera device 3. Using synthetic test feed."));
    EXPECT_EQ(invalidPoses, static_cast<int>(images.size()));
    // Paced at 50 ms a frame: never faster than the target, whatever the load.
    EXPECT_LE(fps, 21.0);
    EXPECT_LE(static_cast<qint64>(images.size()), elapsedMs / 50 + 3);
    for (const QImage& image : images) {
        EXPECT_EQ(image.width(), 320);
        EXPECT_EQ(image.height(), 240);
    }
    // The arms move from frame to frame.
    EXPECT_NE(images[0], images[10]);
    // Not mirrored: the first frame is the synthetic picture at phase 0.04
    // as drawn, converted to red-green-blue.
    const cv::Mat expected = CameraThread::syntheticFrame(320, 240, 0.04);
    int mismatches = 0;
    for (int y = 0; y < 240; ++y) {
        const unsigned char* want = expected.ptr(y);
        const uchar* got = images[0].constScanLine(y);
        for (int x = 0; x < 320; ++x) {
            if (got[3 * x] != want[3 * x + 2] || got[3 * x + 1] != want[3 * x + 1] || got[3 * x + 2] != want[3 * x])
                ++mismatches;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(CameraThread, EachStartTakesTheSettingsOfThatMoment)
{
    // The camera settings are copied once per run: a new size applies after a
    // stop and start, and every run reports its own unopened device once.
    CameraThread thread(nullptr);
    std::vector<QString> errors;
    std::vector<QSize> sizes;
    QObject::connect(&thread, &CameraThread::cameraError, [&](const QString& message) { errors.push_back(message); });
    QObject::connect(&thread, &CameraThread::frameReady,
                     [&](const QImage& image, const PoseEstimator::PersonPose&) { sizes.push_back(image.size()); });

    thread.setCameraConfig(5, 160, 120, 30, false);
    thread.start();
    ASSERT_TRUE(processEventsUntil([&] { return sizes.size() >= 3; }, 20s));
    thread.setCameraConfig(6, 200, 100, 30, false); // stored, not yet in force
    ASSERT_TRUE(processEventsUntil([&] { return sizes.size() >= 6; }, 20s));
    thread.stopCapture();
    thread.wait();
    processEventsUntil([] { return false; }, 50ms);
    EXPECT_FALSE(thread.isRunning());
    for (const QSize& size : sizes)
        EXPECT_EQ(size, QSize(160, 120));

    sizes.clear();
    thread.start();
    ASSERT_TRUE(processEventsUntil([&] { return sizes.size() >= 3; }, 20s));
    thread.stopCapture();
    thread.wait();
    processEventsUntil([] { return false; }, 50ms);
    for (const QSize& size : sizes)
        EXPECT_EQ(size, QSize(200, 100));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], CameraThread::cameraOpenErrorMessage(5));
    EXPECT_EQ(errors[1], CameraThread::cameraOpenErrorMessage(6));
}

TEST(CameraThread, AStopRightAfterStartIsNeverLost)
{
    // The loop used to set its running flag itself and so overwrote a stop
    // that came before it began: the thread ran on and every wait hung.
    CameraThread thread(nullptr);
    thread.setCameraConfig(7, 160, 120, 30, false);
    for (int pair = 0; pair < 40; ++pair) {
        thread.start();
        thread.stopCapture();
        ASSERT_TRUE(thread.wait(QDeadlineTimer(3000))) << "start/stop pair " << pair;
        EXPECT_FALSE(thread.isRunning());
    }
    thread.start();
    EXPECT_TRUE(thread.stopAndWait(3000));
}

namespace {

// A source that hands out `frames` solid grey pictures and then none, with
// one message raised on its second read.
class CountedFrameSource : public FrameSource
{
public:
    explicit CountedFrameSource(int frames) : m_left(frames) {}
    bool read(cv::Mat& frame) override
    {
        if (++m_reads == 2)
            m_messages.push_back("second read");
        if (m_left == 0)
            return false;
        --m_left;
        frame = cv::Mat(90, 120, cv::CV_8UC3, cv::Scalar(77, 77, 77));
        return true;
    }
    std::vector<std::string> takeMessages() override { return std::exchange(m_messages, {}); }

private:
    int m_left;
    int m_reads = 0;
    std::vector<std::string> m_messages;
};

} // namespace

TEST(CameraThread, FrameSourceFactoryReplacesTheCamera)
{
    struct Case
    {
        bool opens;
        int sourceFrames;
        std::vector<QString> errors;
    };
    const Case cases[] = {
        {true, 5, {QStringLiteral("second read")}},
        {false, 0, {QStringLiteral("no such recording")}},
    };
    for (const Case& c : cases) {
        CameraThread thread(nullptr);
        thread.setCameraConfig(0, 160, 120, 60, false);
        thread.setFrameSourceFactory([&c](const FrameSourceRequest& request, std::string& error) {
            EXPECT_EQ(request.width, 160);
            EXPECT_EQ(request.fps, 60);
            if (!c.opens) {
                error = "no such recording";
                return std::unique_ptr<FrameSource>();
            }
            return std::unique_ptr<FrameSource>(std::make_unique<CountedFrameSource>(c.sourceFrames));
        });
        std::vector<QString> errors;
        std::vector<QImage> images;
        QObject::connect(&thread, &CameraThread::cameraError, [&](const QString& message) { errors.push_back(message); });
        QObject::connect(&thread, &CameraThread::frameReady,
                         [&](const QImage& image, const PoseEstimator::PersonPose&) { images.push_back(image); });
        thread.start();
        ASSERT_TRUE(processEventsUntil([&] { return images.size() >= 10; }, 20s));
        thread.stopCapture();
        thread.wait();
        processEventsUntil([] { return false; }, 50ms);

        EXPECT_EQ(errors, c.errors);
        // The source's own pictures first, then the synthetic feed at the configured size.
        for (std::size_t i = 0; i < images.size(); ++i) {
            const bool fromSource = static_cast<int>(i) < c.sourceFrames;
            EXPECT_EQ(images[i].size(), fromSource ? QSize(120, 90) : QSize(160, 120)) << i;
        }
    }
}
