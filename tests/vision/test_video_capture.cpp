#include "vision/camera_list.h"
#include "vision/capture_v4l2.h"
#include "vision/video_capture.h"

#include "tests/vision/fake_v4l2_device.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Step = FakeV4l2Device::Step;

FakeV4l2Device::FrameSize size(std::uint32_t w, std::uint32_t h, std::vector<v4l2_fract> intervals = {})
{
    return {w, h, std::move(intervals)};
}

v4l2_fract perSecond(std::uint32_t fps)
{
    return v4l2_fract{1, fps};
}

// A camera streaming YUYV frames of luma 100 at the sizes given.
void yuyvCamera(FakeV4l2Device& device, std::vector<FakeV4l2Device::FrameSize> sizes)
{
    device.formats = {{V4L2_PIX_FMT_YUYV, std::move(sizes), std::nullopt}};
    device.frameSource = [](const v4l2_pix_format& f, int) { return yuyvFrame(f, 100); };
}

// What YUYV luma 100 with neutral chroma decodes to: (298 * 84 + 128) >> 8.
constexpr unsigned char kGrey100 = 98;

// Frames in any of the layouts these tests stream, all of one colour.
std::vector<unsigned char> solidFrame(const v4l2_pix_format& f)
{
    std::vector<unsigned char> bytes(f.sizeimage, 0);
    if (f.pixelformat == V4L2_PIX_FMT_XBGR32 || f.pixelformat == V4L2_PIX_FMT_BGR32) {
        for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
            bytes[i] = 10;
            bytes[i + 1] = 20;
            bytes[i + 2] = 30;
        }
    }
    return bytes;
}

struct UnsetCameraVariable
{
    UnsetCameraVariable() { unsetenv("KESTRO_DISABLE_AUTO_CAMERA"); }
};

class VideoCaptureTest : public ::testing::Test
{
protected:
    UnsetCameraVariable m_unset;
    FakeV4l2Device device;
};

} // namespace

TEST_F(VideoCaptureTest, DisabledCameraVariableRefusesEvenWhenEmpty)
{
    yuyvCamera(device, {size(640, 480)});
    setenv("KESTRO_DISABLE_AUTO_CAMERA", "", 1);
    {
        cv::VideoCapture capture(device);
        EXPECT_FALSE(capture.open(0, cv::CAP_DSHOW));
        EXPECT_FALSE(capture.isOpened());
    }
    unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    EXPECT_EQ(device.opens(), 0);
}

TEST_F(VideoCaptureTest, PropertyRequests)
{
    cv::VideoCapture capture(device);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), 640);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_HEIGHT), 480);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FPS), 30);
    EXPECT_EQ(capture.get(7), 0);
    EXPECT_FALSE(capture.set(3, 0));
    EXPECT_FALSE(capture.set(4, -2));
    EXPECT_FALSE(capture.set(5, -1));
    EXPECT_FALSE(capture.set(7, 1));
    EXPECT_FALSE(capture.set(3, std::nan("")));
    EXPECT_TRUE(capture.set(5, 30.05));
    EXPECT_EQ(capture.get(5), 30);
    EXPECT_TRUE(capture.set(5, 15));
    EXPECT_EQ(capture.get(5), 15);
    EXPECT_TRUE(capture.set(3, 320.9));
    EXPECT_EQ(capture.get(3), 320);
    EXPECT_TRUE(capture.set(4, 1e12));
    EXPECT_EQ(capture.get(4), 2147483647);
    cv::Mat frame;
    EXPECT_FALSE(capture.read(frame));
}

TEST_F(VideoCaptureTest, ChoosesTheNearestSizeThenTheCheapestLayoutThenTheNearestRate)
{
    struct Case
    {
        const char* name;
        std::vector<FakeV4l2Device::Format> formats;
        int width, height;
        double fps;
        std::uint32_t expectedFormat;
        std::uint32_t expectedWidth, expectedHeight;
        std::uint32_t expectedRate;  // 0: no rate request
    };
    const std::vector<Case> cases = {
        {"same distance, lower rank",
         {{V4L2_PIX_FMT_MJPEG, {size(1280, 720), size(640, 480)}, std::nullopt},
          {V4L2_PIX_FMT_YUYV, {size(640, 480)}, std::nullopt}},
         640, 480, 30, V4L2_PIX_FMT_YUYV, 640, 480, 0},
        {"nearest rate",
         {{V4L2_PIX_FMT_YUYV, {size(640, 480, {perSecond(15), perSecond(30)})}, std::nullopt}},
         640, 480, 30, V4L2_PIX_FMT_YUYV, 640, 480, 30},
        {"size beats layout",
         {{V4L2_PIX_FMT_YUYV, {size(800, 600)}, std::nullopt},
          {V4L2_PIX_FMT_MJPEG, {size(640, 480)}, std::nullopt}},
         640, 480, 30, V4L2_PIX_FMT_MJPEG, 640, 480, 0},
        {"full tie keeps the first",
         {{V4L2_PIX_FMT_BGR24, {size(320, 240, {perSecond(30)})}, std::nullopt},
          {V4L2_PIX_FMT_YUYV, {size(320, 240, {perSecond(30)})}, std::nullopt}},
         320, 240, 30, V4L2_PIX_FMT_BGR24, 320, 240, 30},
        {"other YUV ranks below YUYV",
         {{V4L2_PIX_FMT_NV12, {size(640, 480)}, std::nullopt},
          {V4L2_PIX_FMT_YUYV, {size(640, 480, {perSecond(5)})}, std::nullopt}},
         640, 480, 30, V4L2_PIX_FMT_YUYV, 640, 480, 5},
        {"stepwise sizes snap to the grid",
         {{V4L2_PIX_FMT_YUYV, {}, v4l2_frmsize_stepwise{160, 1920, 16, 120, 1080, 8}}},
         650, 482, 30, V4L2_PIX_FMT_YUYV, 656, 480, 0},
    };
    for (const Case& c : cases) {
        FakeV4l2Device camera;
        camera.formats = c.formats;
        camera.frameSource = [](const v4l2_pix_format& f, int) { return std::vector<unsigned char>(f.sizeimage); };
        cv::VideoCapture capture(camera);
        capture.set(cv::CAP_PROP_FRAME_WIDTH, c.width);
        capture.set(cv::CAP_PROP_FRAME_HEIGHT, c.height);
        capture.set(cv::CAP_PROP_FPS, c.fps);
        ASSERT_TRUE(capture.open(0)) << c.name;
        ASSERT_FALSE(camera.formatRequests.empty()) << c.name;
        EXPECT_EQ(camera.formatRequests.front().pixelformat, c.expectedFormat) << c.name;
        EXPECT_EQ(camera.formatRequests.front().width, c.expectedWidth) << c.name;
        EXPECT_EQ(camera.formatRequests.front().height, c.expectedHeight) << c.name;
        EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), c.expectedWidth) << c.name;
        if (c.expectedRate == 0) {
            EXPECT_TRUE(camera.rateRequests.empty()) << c.name;
        } else {
            ASSERT_EQ(camera.rateRequests.size(), 1u) << c.name;
            EXPECT_EQ(camera.rateRequests[0].numerator, 1u) << c.name;
            EXPECT_EQ(camera.rateRequests[0].denominator, c.expectedRate) << c.name;
        }
    }
}

TEST_F(VideoCaptureTest, UnreadableLayoutAsksForConversionsInOrder)
{
    const std::uint32_t rgb24 = V4L2_PIX_FMT_RGB24;  // red first: not a layout the decoder reads
    device.formats = {{rgb24, {size(640, 480)}, std::nullopt}};
    device.convertible = {V4L2_PIX_FMT_BGR32};
    device.frameSource = [](const v4l2_pix_format& f, int) { return solidFrame(f); };
    cv::VideoCapture capture(device);
    ASSERT_TRUE(capture.open(0));
    std::vector<std::uint32_t> asked;
    for (const auto& request : device.formatRequests) {
        asked.push_back(request.pixelformat);
        EXPECT_EQ(request.width, 640u);
        EXPECT_EQ(request.height, 480u);
    }
    EXPECT_EQ(asked, (std::vector<std::uint32_t>{rgb24, V4L2_PIX_FMT_XBGR32, V4L2_PIX_FMT_BGR32}));
    cv::Mat frame;
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(frame.cols, 640);
    EXPECT_EQ(frame.data[0], 10);
    EXPECT_EQ(frame.data[2], 30);
    EXPECT_EQ("", capture.formatProblem());

    // Nothing converts: every fallback is tried, then the native layout is
    // set again, and its frames cannot be decoded.
    FakeV4l2Device stubborn;
    stubborn.formats = {{rgb24, {size(640, 480)}, std::nullopt}};
    stubborn.frameSource = [](const v4l2_pix_format& f, int) { return solidFrame(f); };
    cv::VideoCapture other(stubborn);
    ASSERT_TRUE(other.open(0));
    asked.clear();
    for (const auto& request : stubborn.formatRequests)
        asked.push_back(request.pixelformat);
    EXPECT_EQ(asked, (std::vector<std::uint32_t>{rgb24, V4L2_PIX_FMT_XBGR32, V4L2_PIX_FMT_BGR32, V4L2_PIX_FMT_BGR24,
                                                 V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12, rgb24}));
    EXPECT_EQ(stubborn.current().pixelformat, rgb24);
    EXPECT_FALSE(other.read(frame));
    EXPECT_EQ("Camera 0 offers no format this program can decode (RGB3)", other.formatProblem());
    EXPECT_EQ(std::vector<std::string>{other.formatProblem()}, other.takeStatusMessages());
    EXPECT_FALSE(other.read(frame));
    EXPECT_TRUE(other.takeStatusMessages().empty()) << "said once";
}

TEST_F(VideoCaptureTest, StreamsFramesScaledToTheRequestAndCleansUp)
{
    yuyvCamera(device, {size(1280, 720)});
    {
        cv::VideoCapture capture(device);
        ASSERT_TRUE(capture.open(0, cv::CAP_DSHOW));
        EXPECT_TRUE(capture.isOpened());
        EXPECT_TRUE(device.streaming());
        EXPECT_EQ(device.mappedBuffers(), 4);
        EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), 1280);
        for (int i = 0; i < 6; ++i) {  // more frames than buffers: they are queued again
            cv::Mat frame;
            ASSERT_TRUE(capture.read(frame)) << i;
            EXPECT_EQ(frame.cols, 640);
            EXPECT_EQ(frame.rows, 480);
            EXPECT_EQ(frame.type, 16);
            EXPECT_EQ(frame.data[0], kGrey100);
            EXPECT_EQ(frame.ptr(479)[639 * 3 + 2], kGrey100);
        }
        EXPECT_EQ(device.framesServed(), 6);
        capture.release();
        EXPECT_FALSE(capture.isOpened());
        EXPECT_EQ(device.openDescriptors(), 0);
        EXPECT_EQ(device.mappedBuffers(), 0);
        capture.release();
        EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), 640);  // requests stay
        cv::Mat frame;
        EXPECT_FALSE(capture.read(frame));

        ASSERT_TRUE(capture.open(0));  // reopens after release
    }
    EXPECT_EQ(device.openDescriptors(), 0);  // the destructor released it
    EXPECT_EQ(device.mappedBuffers(), 0);
}

TEST_F(VideoCaptureTest, ChangedRequestReconfiguresBeforeTheNextRead)
{
    yuyvCamera(device, {size(640, 480), size(320, 240)});
    cv::VideoCapture capture(device);
    ASSERT_TRUE(capture.open(0));
    ASSERT_EQ(device.formatRequests.size(), 1u);
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_WIDTH, 640));  // unchanged: no reconfiguration
    cv::Mat frame;
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(device.formatRequests.size(), 1u);

    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_WIDTH, 320));
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_HEIGHT, 240));
    // The fake refuses S_FMT while buffers exist, as drivers do: success
    // shows that streaming was stopped and the buffers freed first.
    ASSERT_TRUE(capture.read(frame));
    ASSERT_EQ(device.formatRequests.size(), 2u);
    EXPECT_EQ(device.current().width, 320u);
    EXPECT_EQ(frame.cols, 320);
    EXPECT_EQ(frame.rows, 240);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), 320);
    EXPECT_TRUE(device.streaming());
    EXPECT_EQ(device.mappedBuffers(), 4);

    EXPECT_TRUE(capture.set(cv::CAP_PROP_FPS, 30.05));  // within 0.1: nothing to do
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(device.formatRequests.size(), 2u);

    // A restart that fails makes this read fail; the next read tries again.
    device.failAt = Step::StreamOn;
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_WIDTH, 640));
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_HEIGHT, 480));
    EXPECT_FALSE(capture.read(frame));
    EXPECT_FALSE(device.streaming());
    device.failAt = Step::None;
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(frame.cols, 640);
    EXPECT_TRUE(device.streaming());

    // The driver switches to a smaller layout under the running stream: the
    // format is read again and its frames come through, scaled to the request.
    device.frameSource = [](const v4l2_pix_format& f, int) {
        return f.pixelformat == V4L2_PIX_FMT_BGR24 ? bgr24Frame(f, 1, 2, 3) : yuyvFrame(f, 100);
    };
    device.switchFormatWhileStreaming(V4L2_PIX_FMT_BGR24, 160, 120);
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(frame.cols, 640);
    EXPECT_EQ(std::vector<unsigned char>(frame.data, frame.data + 3), (std::vector<unsigned char>{1, 2, 3}));
}

TEST_F(VideoCaptureTest, ThirtyEmptyAttemptsGiveThePreviousFrame)
{
    yuyvCamera(device, {size(640, 480)});
    device.framesAvailable = 1;
    cv::VideoCapture capture(device);
    ASSERT_TRUE(capture.open(0));
    cv::Mat first;
    ASSERT_TRUE(capture.read(first));
    EXPECT_TRUE(capture.lastReadWasNew());
    const int pollsBefore = device.polls();
    cv::Mat again;
    ASSERT_TRUE(capture.read(again));
    EXPECT_EQ(device.polls() - pollsBefore, 30);
    EXPECT_NE(again.data, first.data);  // a copy of the kept frame
    EXPECT_EQ(again.data[0], kGrey100);
    // Shown again, but said to be old: no one may take it for the present.
    EXPECT_FALSE(capture.lastReadWasNew());

    FakeV4l2Device silent;
    yuyvCamera(silent, {size(640, 480)});
    silent.framesAvailable = 0;
    cv::VideoCapture never(silent);
    ASSERT_TRUE(never.open(0));
    EXPECT_FALSE(never.read(again));
    EXPECT_EQ(silent.polls(), 30);
}

TEST_F(VideoCaptureTest, BadFramesAreSkippedAndBytesUsedIsBoundedByTheBuffer)
{
    device.formats = {{V4L2_PIX_FMT_YUYV, {size(64, 48)}, std::nullopt}};
    device.errorFrames = {0};
    device.frameSource = [](const v4l2_pix_format& f, int n) { return yuyvFrame(f, n == 0 ? 235 : 100); };
    cv::VideoCapture capture(device);
    capture.set(3, 64);
    capture.set(4, 48);
    ASSERT_TRUE(capture.open(0));
    cv::Mat frame;
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(frame.data[0], kGrey100);  // the flagged white frame never shows
    EXPECT_EQ(device.framesServed(), 2);

    // A driver claiming more bytes than its buffer, with a JPEG cut short:
    // the JPEG reader looks for the missing end through every claimed byte,
    // and the buffer ends at a guard page.
    QImage picture(64, 48, QImage::Format_RGB888);
    picture.fill(QColor(0, 0, 250));
    QByteArray jpeg;
    QBuffer sink(&jpeg);
    sink.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&sink, "JPEG"));
    FakeV4l2Device liar;
    liar.formats = {{V4L2_PIX_FMT_MJPEG, {size(64, 48)}, std::nullopt}};
    liar.bytesUsedOverride = 1u << 24;
    liar.frameSource = [jpeg](const v4l2_pix_format&, int n) {
        return std::vector<unsigned char>(jpeg.begin(), jpeg.end() - (n == 0 ? 40 : 0));
    };
    cv::VideoCapture mjpg(liar);
    mjpg.set(3, 64);
    mjpg.set(4, 48);
    ASSERT_TRUE(mjpg.open(0));
    // The cut-short JPEG is a failed read, never a grey-filled picture; the
    // whole one after it is the frame.
    ASSERT_TRUE(mjpg.read(frame));
    EXPECT_EQ(liar.framesServed(), 2);
    EXPECT_EQ(frame.cols, 64);
    EXPECT_EQ(frame.rows, 48);
    EXPECT_EQ(frame.data[0] > 200 && frame.data[1] < 40 && frame.data[2] < 40, true) << "blue, every pixel of it";
    EXPECT_GT(frame.ptr(47)[0], 200);
}

TEST_F(VideoCaptureTest, ReadPathServesDevicesThatCannotStream)
{
    device.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    device.formats = {{V4L2_PIX_FMT_BGR24, {size(320, 240), size(160, 120)}, std::nullopt}};
    device.frameSource = [](const v4l2_pix_format& f, int) { return bgr24Frame(f, 1, 2, 3); };
    cv::VideoCapture capture(device);
    ASSERT_TRUE(capture.open(0));
    ASSERT_EQ(device.formatRequests.size(), 1u);
    EXPECT_EQ(device.formatRequests[0].width, 640u);  // the request, as asked
    EXPECT_EQ(device.mappedBuffers(), 0);
    cv::Mat frame;
    ASSERT_TRUE(capture.read(frame));
    // Not scaled on this path: the device's own nearest size.
    EXPECT_EQ(frame.cols, 320);
    EXPECT_EQ(frame.rows, 240);
    EXPECT_EQ(frame.data[0], 1);
    EXPECT_EQ(frame.data[2], 3);

    capture.set(3, 160);
    capture.set(4, 120);
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(device.formatRequests.size(), 2u);
    EXPECT_EQ(frame.cols, 160);
    EXPECT_TRUE(capture.lastReadWasNew());

    // No new frame: the last good one again, said to be old.
    device.framesAvailable = device.framesServed();
    ASSERT_TRUE(capture.read(frame));
    EXPECT_EQ(frame.cols, 160);
    EXPECT_FALSE(capture.lastReadWasNew());
    capture.release();
    EXPECT_FALSE(capture.read(frame));
    EXPECT_EQ(device.openDescriptors(), 0);
}

TEST_F(VideoCaptureTest, FailureAtEveryStepIsCleanedUp)
{
    struct Case
    {
        Step step;
        int failAfter;
        std::uint32_t capabilities;
        bool opens;
        bool reads;
    };
    const std::uint32_t streamOnly = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    const std::uint32_t both = streamOnly | V4L2_CAP_READWRITE;
    const std::vector<Case> cases = {
        {Step::Open, 0, both, false, false},
        {Step::QueryCap, 0, both, false, false},
        // The device's current format is used when nothing can be listed or set.
        {Step::EnumFormat, 0, streamOnly, true, true},
        {Step::EnumFrameSizes, 0, streamOnly, true, true},
        {Step::EnumFrameIntervals, 0, streamOnly, true, true},
        {Step::SetFormat, 0, streamOnly, true, true},
        {Step::SetParameters, 0, streamOnly, true, true},
        // Without a readable format or buffers streaming fails; the read()
        // path takes over when the device has one.
        {Step::GetFormat, 0, streamOnly, false, false},
        {Step::RequestBuffers, 0, streamOnly, false, false},
        {Step::RequestBuffers, 0, both, true, true},
        {Step::QueryBuffer, 2, streamOnly, false, false},
        {Step::Map, 3, both, true, true},
        {Step::QueueBuffer, 1, streamOnly, false, false},
        {Step::StreamOn, 0, both, true, true},
        {Step::Read, 0, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, true, false},
        // Failing while streaming ends the read at once.
        {Step::Poll, 0, streamOnly, true, false},
        {Step::DequeueBuffer, 0, streamOnly, true, false},
        {Step::QueueBuffer, 4, streamOnly, true, true},  // a frame, then a lost buffer
        // Not a capture device at all.
        {Step::None, 0, V4L2_CAP_STREAMING | V4L2_CAP_READWRITE, false, false},
        {Step::None, 0, V4L2_CAP_VIDEO_CAPTURE, false, false},
    };
    for (const Case& c : cases) {
        FakeV4l2Device camera;
        camera.capabilities = c.capabilities;
        camera.formats = {{V4L2_PIX_FMT_YUYV, {size(640, 480, {perSecond(30)})}, std::nullopt}};
        camera.frameSource = [](const v4l2_pix_format& f, int) { return yuyvFrame(f, 100); };
        camera.failAt = c.step;
        camera.failAfter = c.failAfter;
        camera.failErrno = EINVAL;
        const std::string label = std::to_string(static_cast<int>(c.step)) + "/" + std::to_string(c.failAfter) +
                                  "/" + std::to_string(c.capabilities);
        {
            cv::VideoCapture capture(camera);
            EXPECT_EQ(capture.open(0), c.opens) << label;
            if (!c.opens) {
                EXPECT_EQ(camera.openDescriptors(), 0) << label;
                EXPECT_EQ(camera.mappedBuffers(), 0) << label;
            }
            cv::Mat frame;
            EXPECT_EQ(capture.read(frame), c.reads) << label;
            if (c.reads) {
                EXPECT_EQ(frame.cols, 640) << label;
                EXPECT_EQ(frame.data[0], kGrey100) << label;
            }
        }
        EXPECT_EQ(camera.openDescriptors(), 0) << label;
        EXPECT_EQ(camera.mappedBuffers(), 0) << label;
    }
}

TEST_F(VideoCaptureTest, OnlyTheIndexedDeviceNodeIsOpened)
{
    yuyvCamera(device, {size(640, 480)});
    device.index = 2;
    cv::VideoCapture capture(device);
    EXPECT_FALSE(capture.open(-1));
    EXPECT_EQ(device.opens(), 0);
    EXPECT_FALSE(capture.open(0));
    EXPECT_TRUE(capture.open(2));
}

TEST(V4l2PixelFormats, MapOntoTheDecoderCodes)
{
    const std::vector<std::pair<std::uint32_t, unsigned int>> mapping = {
        {V4L2_PIX_FMT_YUYV, cv::kCodeYUY2},   {V4L2_PIX_FMT_UYVY, cv::kCodeUYVY},
        {V4L2_PIX_FMT_YVYU, cv::kCodeYVYU},   {V4L2_PIX_FMT_NV12, cv::kCodeNV12},
        {V4L2_PIX_FMT_YUV420, cv::kCodeI420}, {V4L2_PIX_FMT_YVU420, cv::kCodeYV12},
        {V4L2_PIX_FMT_BGR24, 20},             {V4L2_PIX_FMT_BGR32, 21},
        {V4L2_PIX_FMT_XBGR32, 22},            {V4L2_PIX_FMT_MJPEG, cv::kCodeMJPG},
        {V4L2_PIX_FMT_JPEG, cv::kCodeMJPG},   {V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_RGB24},
    };
    for (const auto& [pixelFormat, code] : mapping)
        EXPECT_EQ(cv::decoderCodeForPixelFormat(pixelFormat), code) << pixelFormat;
}

TEST(VideoCaptureDevice, MissingDeviceNodeDoesNotOpen)
{
    struct stat node{};
    if (::stat("/dev/video63", &node) == 0)
        GTEST_SKIP() << "/dev/video63 exists here";
    unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    cv::VideoCapture capture;  // the real system calls
    EXPECT_FALSE(capture.open(63));
    EXPECT_FALSE(capture.isOpened());
    cv::Mat frame;
    EXPECT_FALSE(capture.read(frame));
}

TEST(VideoCaptureDevice, RealCameraDeliversFrames)
{
    struct stat node{};
    if (::stat("/dev/video0", &node) != 0)
        GTEST_SKIP() << "no /dev/video0 on this machine";
    unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    cv::VideoCapture capture;
    if (!capture.open(0, cv::CAP_DSHOW))
        GTEST_SKIP() << "/dev/video0 is not a capture device we can open";
    cv::Mat frame;
    bool got = false;
    for (int i = 0; i < 10 && !got; ++i)
        got = capture.read(frame);
    ASSERT_TRUE(got);
    EXPECT_EQ(frame.cols, 640);
    EXPECT_EQ(frame.rows, 480);
}

TEST(CameraList, ListsCaptureDevicesWithTheirCardNames)
{
    struct Case
    {
        int index;
        std::uint32_t capabilities;
        std::vector<std::pair<int, std::string>> listed;
    };
    const Case cases[] = {
        {2, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, {{2, "USB Camera: HD Webcam"}}},
        // The second node of a UVC camera carries metadata only.
        {1, V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, {}},
        {0, V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, {}},
    };
    for (const Case& c : cases) {
        FakeV4l2Device device;
        device.index = c.index;
        device.capabilities = c.capabilities;
        device.card = "USB Camera: HD Webcam";
        std::vector<std::pair<int, std::string>> listed;
        for (const cv::CaptureDevice& found : cv::listCaptureDevices(device))
            listed.emplace_back(found.index, found.card);
        EXPECT_EQ(listed, c.listed) << c.index;
        EXPECT_EQ(device.openDescriptors(), 0) << "every probe closes what it opened";
    }
}
