// The pose estimator with small models of known output: letterbox and
// mapping arithmetic, anchor choice, provider fallback, models that break
// the network contract, and load failures.
#include "vision/cv_core.h"
#include "vision/onnx_runtime_handles.h"
#include "vision/person_follower.h"
#include "vision/pose_estimator.h"
#include "vision/pose_letterbox.h"
#include "vision/pose_output_decoder.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const std::string kModels = POSE_TEST_MODEL_DIR;

std::string model(const std::string& name)
{
    return kModels + "/" + name;
}

std::string writeFile(const std::string& name, const std::string& bytes)
{
    const std::string path = std::string(KESTRO_BINARY_DIR) + "/pose_estimator_test_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// An output table with nothing in it, to place anchors by hand.
struct Table
{
    std::vector<float> values = std::vector<float>(
        static_cast<size_t>(PoseOutputDecoder::kRowCount) * PoseOutputDecoder::kAnchorCount, 0.0f);

    float& at(int row, int anchor)
    {
        return values[static_cast<size_t>(row) * PoseOutputDecoder::kAnchorCount
                      + static_cast<size_t>(anchor)];
    }
    void person(int anchor, float cx, float cy, float w, float h, float confidence)
    {
        at(0, anchor) = cx;
        at(1, anchor) = cy;
        at(2, anchor) = w;
        at(3, anchor) = h;
        at(4, anchor) = confidence;
    }
};

TEST(PoseLetterbox, GeometryOfCommonFrames)
{
    struct Case
    {
        int cols, rows;
        float scale;
        int newWidth, newHeight, padX, padY;
    };
    const Case cases[] = {
        {640, 480, 1.0f, 640, 480, 0, 80},
        {1280, 720, 0.5f, 640, 360, 0, 140},
        {480, 640, 1.0f, 480, 640, 80, 0},
        {640, 640, 1.0f, 640, 640, 0, 0},
        {320, 240, 2.0f, 640, 480, 0, 80},
        // 640 / 548 = 1.16788...; 342 x that = 399.42 rounds to 399.
        {548, 342, 640.0f / 548.0f, 640, 399, 0, 120},
        // A sliver still gets one row rather than an empty image.
        {6400, 1, 0.1f, 640, 1, 0, 319},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.cols) + "x" + std::to_string(c.rows));
        const PoseLetterbox box = PoseLetterbox::forFrame(c.cols, c.rows);
        EXPECT_FLOAT_EQ(box.scale, c.scale);
        EXPECT_EQ(box.newWidth, c.newWidth);
        EXPECT_EQ(box.newHeight, c.newHeight);
        EXPECT_EQ(box.padX, c.padX);
        EXPECT_EQ(box.padY, c.padY);
    }
}

TEST(PoseLetterbox, FillsRedGreenBluePlanesWithGreyPadding)
{
    // BGR (10, 20, 30), one pixel (5, 7) marked (200, 100, 50).
    cv::Mat frame(480, 640, cv::CV_8UC3, cv::Scalar(10, 20, 30));
    unsigned char* marked = frame.ptr(7) + 5 * 3;
    marked[0] = 200;
    marked[1] = 100;
    marked[2] = 50;
    const PoseLetterbox box = PoseLetterbox::forFrame(640, 480);
    std::vector<float> tensor(3 * PoseLetterbox::kPlaneSize, -1.0f);
    box.fillTensor(frame, tensor.data());

    auto value = [&](int plane, int x, int y) {
        return tensor[static_cast<size_t>(plane) * PoseLetterbox::kPlaneSize
                      + static_cast<size_t>(y) * PoseLetterbox::kInputSize + static_cast<size_t>(x)];
    };
    const float grey = 114.0f / 255.0f;
    for (int plane = 0; plane < 3; ++plane) {
        EXPECT_EQ(value(plane, 0, 0), grey);
        EXPECT_EQ(value(plane, 639, 79), grey);
        EXPECT_EQ(value(plane, 320, 560), grey);
        EXPECT_EQ(value(plane, 639, 639), grey);
    }
    EXPECT_EQ(value(0, 0, 80), 30.0f / 255.0f);
    EXPECT_EQ(value(1, 0, 80), 20.0f / 255.0f);
    EXPECT_EQ(value(2, 639, 559), 10.0f / 255.0f);
    EXPECT_EQ(value(0, 5, 87), 50.0f / 255.0f);
    EXPECT_EQ(value(1, 5, 87), 100.0f / 255.0f);
    EXPECT_EQ(value(2, 5, 87), 200.0f / 255.0f);
    EXPECT_EQ(std::count(tensor.begin(), tensor.end(), -1.0f), 0);

    // A portrait frame is padded left and right instead.
    const cv::Mat tall(640, 480, cv::CV_8UC3, cv::Scalar(10, 20, 30));
    PoseLetterbox::forFrame(480, 640).fillTensor(tall, tensor.data());
    EXPECT_EQ(value(0, 79, 300), grey);
    EXPECT_EQ(value(0, 80, 300), 30.0f / 255.0f);
    EXPECT_EQ(value(2, 559, 0), 10.0f / 255.0f);
    EXPECT_EQ(value(2, 560, 639), grey);
}

TEST(PoseLetterbox, ScalesLargerFramesBilinearly)
{
    // A 1280 x 720 frame, left half black and right half white: the scaled
    // copy fills rows 140..499, the edge between the halves stays at x 320.
    cv::Mat frame(720, 1280, cv::CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat(720, 640, cv::CV_8UC3, cv::Scalar(255, 255, 255)).copyTo(frame(cv::Rect(640, 0, 640, 720)));
    const PoseLetterbox box = PoseLetterbox::forFrame(1280, 720);
    std::vector<float> tensor(3 * PoseLetterbox::kPlaneSize);
    box.fillTensor(frame, tensor.data());
    auto red = [&](int x, int y) { return tensor[static_cast<size_t>(y) * 640 + static_cast<size_t>(x)]; };
    EXPECT_EQ(red(10, 139), 114.0f / 255.0f);
    EXPECT_EQ(red(10, 140), 0.0f);
    EXPECT_EQ(red(318, 300), 0.0f);
    EXPECT_EQ(red(321, 300), 1.0f);
    EXPECT_EQ(red(630, 499), 1.0f);
    EXPECT_EQ(red(630, 500), 114.0f / 255.0f);
}

TEST(PoseOutputDecoder, MapsAnAnchorBackIntoTheFrame)
{
    Table table;
    table.person(0, 320.0f, 320.0f, 64.0f, 128.0f, 0.75f);
    table.at(5, 0) = 320.0f;   // keypoint 0 in the grey band above the frame
    table.at(6, 0) = 40.0f;
    table.at(7, 0) = 0.9f;
    table.at(8, 0) = 700.0f;   // keypoint 1 right of the input
    table.at(9, 0) = 600.0f;   // and below the frame
    table.at(10, 0) = 0.8f;
    table.at(14, 0) = 0.0f;    // keypoint 3 on the frame's corner
    table.at(15, 0) = 560.0f;
    table.at(16, 0) = 1.5f;    // visibility comes through unclamped
    table.at(17, 0) = 639.0f;  // keypoint 4 in the grey band below the frame
    table.at(18, 0) = 561.0f;
    table.at(19, 0) = 0.7f;
    const PoseLetterbox box = PoseLetterbox::forFrame(640, 480);
    const PoseEstimator::PersonPose pose = PoseOutputDecoder::decode(table.values.data(), 0, box);

    EXPECT_TRUE(pose.valid);
    EXPECT_FLOAT_EQ(pose.score, 0.75f);
    EXPECT_FLOAT_EQ(pose.x1, 0.45f);
    EXPECT_FLOAT_EQ(pose.x2, 0.55f);
    EXPECT_FLOAT_EQ(pose.y1, (256.0f - 80.0f) / 480.0f);
    EXPECT_FLOAT_EQ(pose.y2, (384.0f - 80.0f) / 480.0f);
    // Points off the picture are clamped onto its edge and not seen.
    EXPECT_FLOAT_EQ(pose.keypoints[0].x, 0.5f);
    EXPECT_FLOAT_EQ(pose.keypoints[0].y, 0.0f);
    EXPECT_EQ(pose.keypoints[0].confidence, 0.0f);
    EXPECT_FLOAT_EQ(pose.keypoints[1].x, 1.0f);
    EXPECT_FLOAT_EQ(pose.keypoints[1].y, 1.0f);
    EXPECT_EQ(pose.keypoints[1].confidence, 0.0f);
    EXPECT_FLOAT_EQ(pose.keypoints[3].x, 0.0f);
    EXPECT_FLOAT_EQ(pose.keypoints[3].y, 1.0f);
    EXPECT_FLOAT_EQ(pose.keypoints[3].confidence, 1.5f);
    EXPECT_EQ(pose.keypoints[4].confidence, 0.0f);

    // A model that emits NaN coordinates leaves them on the edge.
    table.at(11, 0) = std::nanf("");
    table.at(12, 0) = std::nanf("");
    table.at(13, 0) = 0.9f;
    const PoseEstimator::PersonPose broken = PoseOutputDecoder::decode(table.values.data(), 0, box);
    EXPECT_EQ(broken.keypoints[2].x, 0.0f);
    EXPECT_EQ(broken.keypoints[2].y, 0.0f);
    EXPECT_EQ(broken.keypoints[2].confidence, 0.0f);

    // 1280 x 720: scale 0.5, padY 140.
    const PoseLetterbox wide = PoseLetterbox::forFrame(1280, 720);
    const PoseEstimator::PersonPose scaled = PoseOutputDecoder::decode(table.values.data(), 0, wide);
    EXPECT_FLOAT_EQ(scaled.x1, (288.0f / 0.5f) / 1280.0f);
    EXPECT_FLOAT_EQ(scaled.y1, ((256.0f - 140.0f) / 0.5f) / 720.0f);
}

TEST(PoseOutputDecoder, ChoosesOneAnchor)
{
    Table table;
    table.person(100, 300, 300, 40, 40, 0.9f);     // confident, small
    table.person(200, 300, 300, 200, 200, 0.6f);   // less confident, large
    table.person(300, 300, 300, 10, 10, 0.9f);     // ties with 100: the first wins
    table.person(400, 300, 300, 400, 400, 0.49f);  // largest, below 0.5
    table.person(500, 300, 300, 5, 5, std::nanf(""));
    struct Case
    {
        float threshold;
        const char* selection;
        int expected;
    };
    const Case cases[] = {
        {0.5f, "largest", 200},
        {0.5f, "confidence", 100},
        {0.5f, "", 100},
        {0.5f, "Largest", 100},  // only the exact word ranks by area
        {0.6f, "largest", 200},  // equal to the threshold qualifies
        {0.61f, "largest", 100},
        {0.49f, "largest", 400},
        {0.95f, "confidence", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.selection) + " at " + std::to_string(c.threshold));
        EXPECT_EQ(PoseOutputDecoder::selectAnchor(table.values.data(), c.threshold, c.selection),
                  c.expected);
    }
}

// The operator, followed from frame to frame, keeps the robot while a
// bystander the rule would prefer walks through; once the operator has been
// out of sight for kFramesToLetGo frames, the rule chooses again.
TEST(PersonFollower, KeepsThePersonItChoseUntilLostForSeveralFrames)
{
    struct Person
    {
        int anchor;
        float cx, cy, w, h, confidence;
    };
    const Person operatorAt320 = {1, 320, 300, 200, 400, 0.7f};
    const Person operatorAt340 = {2, 340, 310, 210, 380, 0.7f}; // moved and bent: overlap 0.8
    const Person bystanderSmall = {3, 100, 260, 80, 160, 0.95f};
    const Person bystanderLarge = {4, 440, 300, 300, 500, 0.95f}; // overlaps the operator by 0.3
    const Person operatorFaint = {5, 320, 300, 200, 400, 0.3f};   // below the threshold
    struct Frame
    {
        const char* what;
        std::vector<Person> people;
        int times;
        int expected;
    };
    const int hidden = PersonFollower::kFramesToLetGo - 1;
    const Frame frames[] = {
        {"the rule chooses the operator", {operatorAt320, bystanderSmall}, 1, 1},
        {"the operator moves", {operatorAt340, bystanderSmall}, 1, 2},
        {"a larger bystander walks behind", {bystanderLarge, operatorAt320}, 1, 1},
        {"the bystander alone", {bystanderLarge}, hidden, -1},
        {"the operator is back in time", {bystanderLarge, operatorAt340}, 1, 2},
        {"the operator fades below the threshold", {operatorFaint, bystanderLarge}, hidden, -1},
        {"then the rule chooses again", {operatorFaint, bystanderLarge}, 1, 4},
        {"and keeps the new person", {operatorAt320, bystanderLarge}, 1, 4},
    };
    PersonFollower follower;
    for (const Frame& frame : frames) {
        Table table;
        for (const Person& p : frame.people)
            table.person(p.anchor, p.cx, p.cy, p.w, p.h, p.confidence);
        for (int i = 0; i < frame.times; ++i)
            EXPECT_EQ(follower.choose(table.values.data(), 0.5f, "largest"), frame.expected) << frame.what;
    }

    // Another rule starts afresh and chooses by itself.
    Table both;
    both.person(1, 320, 300, 200, 400, 0.7f);
    both.person(4, 440, 300, 300, 500, 0.95f);
    EXPECT_EQ(follower.choose(both.values.data(), 0.5f, "confidence"), 4);
    both.at(4, 4) = 0.6f;
    EXPECT_EQ(follower.choose(both.values.data(), 0.5f, "confidence"), 4); // followed, though less confident now
    follower.reset();
    EXPECT_EQ(follower.choose(both.values.data(), 0.5f, "confidence"), 1);
}

TEST(PoseEstimator, RunsAModelAndPicksThePerson)
{
    PoseEstimator estimator;
    ASSERT_TRUE(estimator.init(model("people.onnx"), "cpu"));
    EXPECT_TRUE(estimator.isModelLoaded());
    const cv::Mat frame(480, 640, cv::CV_8UC3);

    const PoseEstimator::PersonPose confident = estimator.infer(frame, 0.5f, 0.3f, "confidence");
    ASSERT_TRUE(confident.valid);
    EXPECT_FLOAT_EQ(confident.score, 0.9f);
    EXPECT_FLOAT_EQ(confident.x1, 0.45f);
    EXPECT_FLOAT_EQ(confident.x2, 0.55f);
    EXPECT_FLOAT_EQ(confident.y1, (256.0f - 80.0f) / 480.0f);
    EXPECT_FLOAT_EQ(confident.y2, (384.0f - 80.0f) / 480.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[0].y, 0.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[1].x, 1.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[16].x, 420.0f / 640.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[16].y, (420.0f - 80.0f) / 480.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[16].confidence, 1.0f);
    EXPECT_FLOAT_EQ(confident.keypoints[8].confidence, 0.5f);

    const PoseEstimator::PersonPose largest = estimator.infer(frame, 0.5f, 0.3f, "largest");
    ASSERT_TRUE(largest.valid);
    EXPECT_FLOAT_EQ(largest.score, 0.6f);

    const PoseEstimator::PersonPose nobody = estimator.infer(frame, 0.95f, 0.3f, "confidence");
    EXPECT_FALSE(nobody.valid);
    EXPECT_EQ(nobody.score, 0.0f);
    EXPECT_EQ(nobody.x2, 0.0f);
}

TEST(PoseEstimator, ReturnsNobodyWithoutModelOrFrame)
{
    PoseEstimator estimator;
    EXPECT_FALSE(estimator.isModelLoaded());
    EXPECT_EQ(estimator.getActiveProviderName(), "CPU");
    EXPECT_FALSE(estimator.infer(cv::Mat(480, 640, cv::CV_8UC3), 0.0f, 0.0f, "largest").valid);
    ASSERT_TRUE(estimator.init(model("people.onnx"), "cpu"));
    EXPECT_FALSE(estimator.infer(cv::Mat(), 0.0f, 0.0f, "largest").valid);
}

TEST(PoseEstimator, FallsBackToCpuWhenNoAcceleratorWorks)
{
    PoseEstimator estimator;
    const std::vector<std::string> available = estimator.getAvailableProviders();
    EXPECT_NE(std::find(available.begin(), available.end(), "CPUExecutionProvider"), available.end());
    const bool listsCuda =
        std::find(available.begin(), available.end(), "CUDAExecutionProvider") != available.end();

    for (const char* provider : {"auto", "directml", "cuda"}) {
        SCOPED_TRACE(provider);
        CaptureStderr();
        ASSERT_TRUE(estimator.init(model("people.onnx"), provider));
        const std::string log = GetCapturedStderr();
        // The shipped CPU library lists CUDA without its provider library:
        // appending fails, and the search settles on the CPU.
        EXPECT_EQ(estimator.getActiveProviderName(), "CPU");
        if (listsCuda) {
            // One line of ours, and nothing from the runtime itself: the
            // provider library is not beside the CPU runtime we ship.
            EXPECT_EQ(log, "PoseEstimator: CUDA provider unavailable, using CPU: no libonnxruntime_providers_cuda.so in "
                               + kestro::ort::runtimeLibraryFolder() + "\n");
            EXPECT_FALSE(kestro::ort::runtimeLibraryFolder().empty());
        }
        EXPECT_TRUE(estimator.infer(cv::Mat(480, 640, cv::CV_8UC3), 0.5f, 0.5f, "").valid);
    }
    for (const char* provider : {"cpu", "CUDA", "", "tensorrt"}) {
        SCOPED_TRACE(provider);
        CaptureStderr();
        ASSERT_TRUE(estimator.init(model("people.onnx"), provider));
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(estimator.getActiveProviderName(), "CPU");
    }
}

// Our declarations name the runtime's table slots by number; a wrong number
// would call another function. The loaded runtime's own answers show that
// the option entry point is the one we mean and that it takes our key.
TEST(OnnxRuntimeTable, SessionConfigEntryIsTheRuntimesOwn)
{
    using namespace kestro::ort;
    // The runtime logs through an environment's logger, so one must exist.
    OrtEnv* rawEnv = nullptr;
    check(api().CreateEnv(ORT_LOGGING_LEVEL_WARNING, "KestroTableTest", &rawEnv));
    UniqueEnv env(rawEnv);
    OrtSessionOptions* raw = nullptr;
    check(api().CreateSessionOptions(&raw));
    UniqueSessionOptions options(raw);
    EXPECT_NE(takeStatusMessage(api().AddSessionConfigEntry(options.get(), "", "0")).find("Config key is empty"),
              std::string::npos);
    EXPECT_NO_THROW(configureIntraOpThreads(options.get(), 2));
    // Setting it again makes the runtime name what it holds already.
    CaptureStderr();
    configureIntraOpThreads(options.get(), 2);
    EXPECT_NE(GetCapturedStderr().find("[session.intra_op.allow_spinning] already exists with value [0]"),
              std::string::npos);
}

TEST(PoseEstimator, RefusesModelsThatBreakTheNetworkContract)
{
    struct Case
    {
        const char* file;
        bool initSucceeds;  // output shapes are only known after a run
        const char* message;
    };
    const Case cases[] = {
        {"input_rank3.onnx", false,
         "PoseEstimator: Model input must be a float tensor of shape 1x3x640x640, found float 1x3x640\n"},
        {"output_1x56x100.onnx", true,
         "PoseEstimator: Model output must be a float tensor of shape 1x56x8400, found float 1x56x100\n"},
        {"output_1x8400x56.onnx", true,
         "PoseEstimator: Model output must be a float tensor of shape 1x56x8400, found float 1x8400x56\n"},
        {"output_double.onnx", true,
         "PoseEstimator: Model output must be a float tensor of shape 1x56x8400, found element type 11 "
         "1x56x8400\n"},
    };
    const cv::Mat frame(480, 640, cv::CV_8UC3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        PoseEstimator estimator;
        CaptureStderr();
        EXPECT_EQ(estimator.init(model(c.file), "cpu"), c.initSucceeds);
        const PoseEstimator::PersonPose pose = estimator.infer(frame, 0.0f, 0.0f, "");
        EXPECT_EQ(GetCapturedStderr(), c.message);
        EXPECT_FALSE(pose.valid);
        EXPECT_FALSE(estimator.isModelLoaded());
        // Reported once: the refused model is unloaded.
        CaptureStderr();
        EXPECT_FALSE(estimator.infer(frame, 0.0f, 0.0f, "").valid);
        EXPECT_EQ(GetCapturedStderr(), "");
    }

    PoseEstimator open;
    EXPECT_TRUE(open.init(model("open_input_dims.onnx"), "cpu"));
    EXPECT_TRUE(open.infer(frame, 0.5f, 0.5f, "").valid);
}

TEST(PoseEstimator, ReloadsWhileAnotherThreadInfers)
{
    // The camera thread infers while the GUI thread reloads the model; the
    // mutex makes each call see either the old or the new session whole.
    PoseEstimator estimator;
    ASSERT_TRUE(estimator.init(model("people.onnx"), "cpu"));
    const cv::Mat frame(480, 640, cv::CV_8UC3);
    std::atomic<bool> stop{false};
    std::atomic<int> invalid{0};
    std::atomic<int> runs{0};
    std::thread camera([&] {
        while (!stop.load()) {
            if (!estimator.infer(frame, 0.5f, 0.5f, "").valid)
                invalid.fetch_add(1);
            runs.fetch_add(1);
        }
    });
    testing::internal::CaptureStdout();
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(estimator.init(model(i % 2 ? "people.onnx" : "open_input_dims.onnx"), "cpu"));
    // Let the camera thread run at least once more after the last reload.
    const int seen = runs.load();
    while (runs.load() < seen + 2) {
        std::this_thread::yield();
    }
    stop.store(true);
    camera.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(invalid.load(), 0);
}

TEST(PoseEstimator, ReportsLoadFailures)
{
    const std::string missing = kModels + "/no-such-model.onnx";
    const std::string empty = writeFile("empty.onnx", "");
    const std::string garbage = writeFile("garbage.onnx", std::string(4096, '\x5a') + "not a model");
    const cv::Mat frame(480, 640, cv::CV_8UC3);

    PoseEstimator estimator;
    ASSERT_TRUE(estimator.init(model("people.onnx"), "cpu"));

    // A file that cannot be read leaves the loaded model in place.
    CaptureStderr();
    EXPECT_FALSE(estimator.init(missing, "cpu"));
    EXPECT_EQ(GetCapturedStderr(), "PoseEstimator: Failed to open model file: " + missing + "\n");
    EXPECT_TRUE(estimator.isModelLoaded());
    EXPECT_TRUE(estimator.infer(frame, 0.5f, 0.5f, "").valid);

    CaptureStderr();
    EXPECT_FALSE(estimator.init(empty, "cpu"));
    EXPECT_EQ(GetCapturedStderr(), "PoseEstimator: Model data is empty: " + empty + "\n");
    EXPECT_TRUE(estimator.isModelLoaded());

    CaptureStderr();
    EXPECT_FALSE(estimator.init(":/models/not-embedded.onnx", "cpu"));
    EXPECT_EQ(GetCapturedStderr(),
              "PoseEstimator: Failed to open model file: :/models/not-embedded.onnx\n");

    // Bytes the runtime cannot parse: the estimator is unloaded.
    CaptureStderr();
    EXPECT_FALSE(estimator.init(garbage, "cpu"));
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(log.rfind("PoseEstimator: ONNX Runtime Exception: ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_FALSE(estimator.isModelLoaded());
    EXPECT_FALSE(estimator.infer(frame, 0.5f, 0.5f, "").valid);

    // And a good model loads again afterwards.
    EXPECT_TRUE(estimator.init(model("people.onnx"), "cpu"));
    EXPECT_TRUE(estimator.infer(frame, 0.5f, 0.5f, "").valid);
}

} // namespace
