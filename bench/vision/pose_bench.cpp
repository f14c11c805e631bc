// Where the time of one PoseEstimator::infer goes, for 640x480 and 1280x720
// frames: letterbox and tensor fill, the network run, decoding, the whole
// call; and, as the peer measured in the same run, the same network run
// through ONNX Runtime directly with the same session settings. The ratio
// infer / direct run is the overhead of our code.
//
// With a person in the frame (the footballer's photograph): infer with the
// detector on every frame against infer that crops where the last frame's
// keypoints put the person; and with two people, how often the chosen one
// needs a second run. Given a peer model (for example the network of an
// earlier build), its direct run against ours shows what offering several
// people and the track input cost when the detector runs.
//
// Usage: bench_pose [runs] [model.onnx] [peer.onnx]
//        (defaults: 100, the embedded network, no peer)
#include "tests/vision/pose_scene.h"
#include "vision/cv_core.h"
#include "vision/onnx_runtime_handles.h"
#include "vision/pose_estimator.h"
#include "vision/pose_letterbox.h"
#include "vision/pose_output_decoder.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace kestro::ort;

struct Stats
{
    double median = 0.0;
    double p95 = 0.0;
};

Stats summarise(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    Stats stats;
    stats.median = times[times.size() / 2];
    stats.p95 = times[std::min(times.size() - 1, static_cast<size_t>(0.95 * static_cast<double>(times.size())))];
    return stats;
}

template <typename Work>
double timeMs(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

template <typename Work>
Stats measure(int runs, Work work)
{
    work();  // warm-up: first-run allocations and lazy initialisation
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(timeMs(work));
    return summarise(times);
}

// A frame with texture everywhere, so that resizing does real work.
cv::Mat noiseFrame(int cols, int rows)
{
    cv::Mat frame(rows, cols, cv::CV_8UC3);
    std::mt19937 random(42);
    for (int y = 0; y < rows; ++y) {
        unsigned char* row = frame.ptr(y);
        for (int x = 0; x < cols * 3; ++x)
            row[x] = static_cast<unsigned char>(random());
    }
    return frame;
}

// The network alone, with the estimator's session settings.
class DirectSession
{
public:
    explicit DirectSession(const QByteArray& bytes)
    {
        const OrtApi& ort = api();
        OrtEnv* env = nullptr;
        check(ort.CreateEnv(ORT_LOGGING_LEVEL_WARNING, "KestroPoseBench", &env));
        m_env.reset(env);
        OrtSessionOptions* options = nullptr;
        check(ort.CreateSessionOptions(&options));
        m_options.reset(options);
        // The same threading as the estimator, so the ratio compares like with like.
        configureIntraOpThreads(options, PoseEstimator::intraOpThreadCount());
        check(ort.SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL));
        OrtSession* session = nullptr;
        check(ort.CreateSessionFromArray(env, bytes.constData(), static_cast<size_t>(bytes.size()),
                                         options, &session));
        m_session.reset(session);
        OrtMemoryInfo* memory = nullptr;
        check(ort.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory));
        m_memory.reset(memory);
        m_inputName = sessionInputName(session, 0);
        m_outputName = sessionOutputName(session, 0);
        m_input.assign(3 * PoseLetterbox::kPlaneSize, 0.5f);
    }

    // The network with a crop to track, when `track` is given and the
    // model has the input.
    std::vector<float> run(const std::array<float, 5>* track = nullptr)
    {
        const OrtApi& ort = api();
        const int64_t shape[] = {1, 3, PoseLetterbox::kInputSize, PoseLetterbox::kInputSize};
        OrtValue* rawInput = nullptr;
        check(ort.CreateTensorWithDataAsOrtValue(m_memory.get(), m_input.data(),
                                                 m_input.size() * sizeof(float), shape, 4,
                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &rawInput));
        UniqueValue input(rawInput);
        std::array<float, 5> trackValues = track ? *track : std::array<float, 5>{};
        const int64_t trackShape[] = {1, 5};
        OrtValue* rawTrack = nullptr;
        if (track) {
            check(ort.CreateTensorWithDataAsOrtValue(m_memory.get(), trackValues.data(), sizeof(trackValues),
                                                     trackShape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &rawTrack));
        }
        UniqueValue trackInput(rawTrack);
        const char* inputNames[] = {m_inputName.c_str(), "track"};
        const char* outputNames[] = {m_outputName.c_str()};
        const OrtValue* inputs[] = {input.get(), trackInput.get()};
        OrtValue* rawOutput = nullptr;
        check(ort.Run(m_session.get(), nullptr, inputNames, inputs, track ? 2 : 1, outputNames, 1, &rawOutput));
        UniqueValue output(rawOutput);
        void* data = nullptr;
        check(ort.GetTensorMutableData(output.get(), &data));
        const float* values = static_cast<const float*>(data);
        return std::vector<float>(values, values + PoseOutputDecoder::kRowCount * PoseOutputDecoder::kAnchorCount);
    }

private:
    UniqueEnv m_env;
    UniqueSessionOptions m_options;
    UniqueSession m_session;
    UniqueMemoryInfo m_memory;
    std::string m_inputName;
    std::string m_outputName;
    std::vector<float> m_input;
};

void print(const char* what, const Stats& stats)
{
    std::printf("  %-36s median %8.3f ms   p95 %8.3f ms\n", what, stats.median, stats.p95);
}

// Infer on a frame with a person, with the detector on every frame (the
// followed person forgotten before each) against tracked frames; the two
// alternate so that both meet the same load.
void measureTracking(PoseEstimator& estimator, int runs)
{
    const cv::Mat frame = vision_test::photographScene(640, 480, {{"messi5.jpg", QRect(40, 60, 548, 342)}});
    std::vector<double> detected;
    std::vector<double> tracked;
    for (int i = 0; i < 10; ++i)
        estimator.infer(frame, 0.5f, 0.5f, "confidence");  // warm-up; the crop settles
    for (int i = 0; i < runs; ++i) {
        tracked.push_back(timeMs([&] { estimator.infer(frame, 0.5f, 0.5f, "confidence"); }));
        estimator.forgetFollowedPerson();
        detected.push_back(timeMs([&] { estimator.infer(frame, 0.5f, 0.5f, "confidence"); }));
        for (int settle = 0; settle < 8; ++settle)
            estimator.infer(frame, 0.5f, 0.5f, "confidence");
    }
    const Stats detector = summarise(detected);
    const Stats tracking = summarise(tracked);
    std::printf("640x480 frame with a person:\n");
    print("infer, detector on every frame", detector);
    print("infer, tracked", tracking);
    std::printf("  tracked / detector = %.3f\n", tracking.median / detector.median);
}

// Two people, each rule, a new scene every time: how many infers need a
// second run because the rule chose the person the network did not landmark.
void measureSecondRuns(PoseEstimator& estimator, int runs)
{
    const cv::Mat frame = vision_test::photographScene(640, 640, {{"astronaut.png", QRect(0, 200, 360, 360)},
                                                                  {"astronaut.png", QRect(360, 300, 280, 280)}});
    std::printf("640x640 frame with two people, a new scene each time:\n");
    for (const char* rule : {"largest", "confidence"}) {
        const PoseEstimator::InferenceCounts before = estimator.inferenceCounts();
        const Stats stats = measure(runs, [&] {
            estimator.forgetFollowedPerson();
            estimator.infer(frame, 0.5f, 0.5f, rule);
        });
        const PoseEstimator::InferenceCounts after = estimator.inferenceCounts();
        const long infers = runs + 1;
        char what[64];
        std::snprintf(what, sizeof what, "infer, rule \"%s\"", rule);
        print(what, stats);
        std::printf("    second runs: %ld of %ld infers (network runs: %ld with the detector, %ld tracked)\n",
                    after.candidateRuns - before.candidateRuns, infers, after.detectorRuns - before.detectorRuns,
                    after.trackedRuns - before.trackedRuns);
    }
}

// The network run alone on the same frame with a person: the peer model
// (one person per run, no track input) against ours with the detector.
void measureAgainstPeer(DirectSession& ours, DirectSession& peer, int runs)
{
    std::vector<double> ourTimes;
    std::vector<double> peerTimes;
    ours.run();
    peer.run();
    for (int i = 0; i < runs; ++i) {
        ourTimes.push_back(timeMs([&] { ours.run(); }));
        peerTimes.push_back(timeMs([&] { peer.run(); }));
    }
    const Stats our = summarise(ourTimes);
    const Stats theirs = summarise(peerTimes);
    std::printf("network run with the detector, this model against the peer model:\n");
    print("this model", our);
    print("peer model", theirs);
    std::printf("  this / peer = %.3f\n", our.median / theirs.median);
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const std::string modelPath = argc > 2 ? argv[2] : POSE_BENCH_MODEL;
    QFile file(QString::fromStdString(modelPath));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_pose: cannot read %s\n", modelPath.c_str());
        return 1;
    }
    const QByteArray bytes = file.readAll();

    PoseEstimator estimator;
    if (!estimator.init(modelPath, "cpu"))
        return 1;
    DirectSession direct(bytes);
    std::printf("ONNX Runtime %s, %d runs each, %d intra-op threads\n", versionString().c_str(), runs,
                PoseEstimator::intraOpThreadCount());

    std::vector<float> output = direct.run();
    const int sizes[][2] = {{640, 480}, {1280, 720}};
    for (const auto& size : sizes) {
        const cv::Mat frame = noiseFrame(size[0], size[1]);
        std::printf("%dx%d frame:\n", size[0], size[1]);
        const PoseLetterbox letterbox = PoseLetterbox::forFrame(frame.cols, frame.rows);
        std::vector<float> tensor(3 * PoseLetterbox::kPlaneSize);
        const Stats prepare = measure(runs, [&] { letterbox.fillTensor(frame, tensor.data()); });
        volatile float sink = 0.0f;
        const Stats decode = measure(runs, [&] {
            const int anchor = PoseOutputDecoder::selectAnchor(output.data(), 0.0f, "largest");
            sink = sink + PoseOutputDecoder::decode(output.data(), std::max(anchor, 0), letterbox).x1;
        });
        // The direct run and the whole infer alternate, so that both see the
        // same load on a shared machine and their ratio stays meaningful.
        estimator.infer(frame, 0.5f, 0.5f, "confidence");
        std::vector<double> networkTimes;
        std::vector<double> inferTimes;
        for (int i = 0; i < runs; ++i) {
            networkTimes.push_back(timeMs([&] { output = direct.run(); }));
            inferTimes.push_back(timeMs([&] { estimator.infer(frame, 0.5f, 0.5f, "confidence"); }));
        }
        const Stats network = summarise(networkTimes);
        const Stats whole = summarise(inferTimes);
        print("letterbox and tensor fill", prepare);
        print("network run (ONNX Runtime directly)", network);
        print("decoding", decode);
        print("whole infer", whole);
        std::printf("  our pre- and post-processing: %.3f ms (median); infer / direct run = %.3f\n",
                    prepare.median + decode.median, whole.median / network.median);
    }
    measureTracking(estimator, runs);
    measureSecondRuns(estimator, runs);
    if (argc > 3) {
        QFile peerFile(QString::fromLocal8Bit(argv[3]));
        if (!peerFile.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench_pose: cannot read %s\n", argv[3]);
            return 1;
        }
        DirectSession peer(peerFile.readAll());
        measureAgainstPeer(direct, peer, runs);
    }
    return 0;
}
