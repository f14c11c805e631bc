#include "vision/pose_estimator.h"

#include "vision/cv_core.h"
#include "vision/onnx_runtime_handles.h"
#include "vision/pose_letterbox.h"
#include "vision/person_follower.h"
#include "vision/pose_output_decoder.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

const char* const kLogPrefix = "PoseEstimator: ";
const char* const kLogIdentifier = "KestroPoseEstimator";
constexpr int kIntraOpThreads = 4;

const char* const kCpuProvider = "CPU";
const char* const kCudaProvider = "CUDA";
const char* const kCudaRuntimeName = "CUDAExecutionProvider";
const char* const kCudaProviderLibrary = "libonnxruntime_providers_cuda.so";

constexpr int64_t kInputChannels = 3;
constexpr size_t kInputElements =
    static_cast<size_t>(kInputChannels) * PoseLetterbox::kInputSize * PoseLetterbox::kInputSize;

// A model that breaks the network contract; init and infer report it in
// one line and refuse the model rather than read past a buffer.
class ContractError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The embedded network's tracking names (see tools/pose-model/pose_graph.py):
// an input with the crop to landmark instead of running the detector, the
// crop the landmarks give for the next frame, and the crop of each person
// the detector offered. A model without them detects on every run.
const char* const kTrackInput = "track";
const char* const kNextTrackOutput = "next_track";
const char* const kCandidateTracksOutput = "candidate_tracks";
// Centre x, y, side, cos, sin of a crop, in input pixels; side 0 is none.
constexpr size_t kTrackValues = 5;
constexpr size_t kTrackSideIndex = 2;
constexpr size_t kTrackCosIndex = 3;
constexpr size_t kTrackSinIndex = 4;
using Track = std::array<float, kTrackValues>;
// A crop that moved less than this (a fraction of its side for centre and
// side, the sine of the turn for rotation) is kept as it was. The crop the
// landmarks give wobbles by a few pixels from frame to frame even on a
// still picture, and each wobble moved every keypoint by 2-3 pixels; the
// crop's margin leaves room for a person to move this much inside it.
constexpr float kTrackDeadband = 0.02f;
// Only the crop's centre follows the landmarks from frame to frame; its size
// and turn stay those of the first crop after a detection. The landmark
// model's alignment points frame a person about 14% larger than the detector
// does, and a crop taken from landmarks found in such a crop builds on that:
// within a few frames it grew by half and tilted by ten degrees, and the arm
// angles on the wire got worse (an elbow off by up to 50 degrees where the
// detector's framing kept it under 20). Those points follow the crop they
// were found in more than the person, so they cannot tell that the person
// came closer or stepped back; the keypoints' extent can: when the person's
// box has grown or shrunk by more than kShapeSlack since the crop's size was
// taken, the detector frames the person anew. (Raised arms alone stretch the extent by less; at 1.3 they did
// often enough to cost accuracy on the arms.)
constexpr float kShapeSlack = 1.5f;

// The larger side of the person's box at `anchor`, in input pixels.
float boxExtent(const float* table, int anchor)
{
    const auto at = [&](int row) {
        return table[static_cast<size_t>(row) * PoseOutputDecoder::kAnchorCount + static_cast<size_t>(anchor)];
    };
    return std::max(at(2), at(3));
}

bool nearlySame(const Track& a, const Track& b)
{
    const float side = a[kTrackSideIndex];
    const float turn = a[kTrackCosIndex] * b[kTrackSinIndex] - a[kTrackSinIndex] * b[kTrackCosIndex];
    return std::abs(a[0] - b[0]) < kTrackDeadband * side && std::abs(a[1] - b[1]) < kTrackDeadband * side
           && std::abs(a[kTrackSideIndex] - b[kTrackSideIndex]) < kTrackDeadband * side
           && std::abs(turn) < kTrackDeadband;
}

bool searchesAccelerator(const std::string& provider)
{
    return provider == "auto" || provider == "directml" || provider == "cuda";
}

bool lists(const std::vector<std::string>& providers, const char* name)
{
    return std::find(providers.begin(), providers.end(), name) != providers.end();
}

std::string typeName(ONNXTensorElementDataType type)
{
    return type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ? std::string("float")
                                                       : "element type " + std::to_string(type);
}

// The crops of a tracking output (N x 5 floats), copied out.
std::vector<Track> trackRows(OrtValue* value, const char* name)
{
    using namespace kestro::ort;
    const TensorShape shape = valueShape(value);
    const std::vector<int64_t>& dims = shape.dimensions;
    if (shape.elementType != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || dims.size() != 2 || dims[0] < 1
        || dims[1] != static_cast<int64_t>(kTrackValues)) {
        throw ContractError(std::string("Model output ") + name + " must be a float tensor of shape Nx5, found "
                            + typeName(shape.elementType) + " " + shape.text());
    }
    void* values = nullptr;
    check(api().GetTensorMutableData(value, &values));
    std::vector<Track> rows(static_cast<size_t>(dims[0]));
    std::memcpy(rows.data(), values, rows.size() * sizeof(Track));
    return rows;
}

} // namespace

struct PoseEstimator::Impl
{
    mutable std::mutex mutex;
    kestro::ort::UniqueEnv env;
    kestro::ort::UniqueSessionOptions sessionOptions;
    kestro::ort::UniqueSession session;
    kestro::ort::UniqueMemoryInfo memoryInfo;
    std::string activeProvider = kCpuProvider;
    std::vector<std::string> availableProviders;
    bool modelLoaded = false;
    std::string inputName;
    std::string outputName;
    std::array<int64_t, 4> inputShape{1, kInputChannels, PoseLetterbox::kInputSize,
                                      PoseLetterbox::kInputSize};
    std::vector<float> inputTensor;
    PersonFollower follower;

    // Tracking, with a model that offers it: the crop of the person
    // reported last, valid for frames of the size and the selection rule
    // it was found with.
    bool modelTracks = false;
    bool hasTrack = false;
    Track track{};
    int trackedWidth = 0;
    int trackedHeight = 0;
    std::string trackedRule;
    // The size and turn the tracked crop keeps, and the person's extent
    // (input pixels) when they were taken (see kShapeSlack).
    Track shape{};
    float shapeExtent = 0.0f;
    InferenceCounts counts;

    // One pass of the network over the current input tensor.
    struct NetworkRun
    {
        kestro::ort::UniqueValue table;
        kestro::ort::UniqueValue nextTrack;
        kestro::ort::UniqueValue candidateTracks;
        const float* data = nullptr;
        Track next{};
        std::vector<Track> candidates;

        float confidence(int anchor) const
        {
            return data[static_cast<size_t>(PoseOutputDecoder::kConfidenceRow) * PoseOutputDecoder::kAnchorCount
                        + static_cast<size_t>(anchor)];
        }
    };

    std::string chooseProvider(const std::string& provider);
    bool appendCuda();
    void checkModelContract(const OrtSession* candidate) const;
    static bool offersTracking(const OrtSession* candidate);
    NetworkRun runNetwork(const Track* crop);
    // Anchor 0 of `result` after landmarking the person at `anchor`, or -1.
    int landmarkCandidate(NetworkRun& result, int anchor, float personThreshold);
    PersonPose run(const cv::Mat& frame, float personThreshold, const std::string& targetSelection);
    void dropTrack() { hasTrack = false; }
};

PoseEstimator::PoseEstimator() : m_impl(std::make_unique<Impl>())
{
    using namespace kestro::ort;
    const OrtApi& ort = api();
    OrtEnv* env = nullptr;
    check(ort.CreateEnv(ORT_LOGGING_LEVEL_WARNING, kLogIdentifier, &env));
    m_impl->env.reset(env);
    OrtSessionOptions* options = nullptr;
    check(ort.CreateSessionOptions(&options));
    m_impl->sessionOptions.reset(options);
    OrtMemoryInfo* memoryInfo = nullptr;
    check(ort.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memoryInfo));
    m_impl->memoryInfo.reset(memoryInfo);
    m_impl->availableProviders = availableProviders();
    m_impl->inputTensor.assign(kInputElements, 0.0f);
}

// Members go in reverse order: memory description, session and options
// before the environment they were made in.
PoseEstimator::~PoseEstimator() = default;

bool PoseEstimator::Impl::appendCuda()
{
    using namespace kestro::ort;
    // CPU-only runtimes list CUDA too. Asking one of them to append it makes
    // the runtime log an error of its own (in red, at every start) before it
    // fails; without the provider library beside the runtime the answer is
    // known, so give it quietly.
    const std::string folder = runtimeLibraryFolder();
    if (!folder.empty() && !std::filesystem::exists(std::filesystem::path(folder) / kCudaProviderLibrary)) {
        std::cerr << kLogPrefix << "CUDA provider unavailable, using CPU: no " << kCudaProviderLibrary << " in "
                  << folder << std::endl;
        return false;
    }
    const OrtApi& ort = api();
    OrtCUDAProviderOptionsV2* raw = nullptr;
    std::string failure = takeStatusMessage(ort.CreateCUDAProviderOptions(&raw));
    UniqueCudaOptions cudaOptions(raw);
    if (failure.empty()) {
        failure = takeStatusMessage(
            ort.SessionOptionsAppendExecutionProvider_CUDA_V2(sessionOptions.get(), cudaOptions.get()));
    }
    if (!failure.empty()) {
        // A provider library that is there but will not load (no driver, a
        // CUDA of another version) is a fallback to the CPU, not a failure
        // of init.
        std::cerr << kLogPrefix << "CUDA provider unavailable, using CPU: " << failure << std::endl;
        return false;
    }
    return true;
}

std::string PoseEstimator::Impl::chooseProvider(const std::string& provider)
{
    std::string working = kCpuProvider;
    if (!searchesAccelerator(provider))
        return working;
    // DirectML exists only in runtime builds for Windows, which this build
    // does not target; such runtimes never list "DmlExecutionProvider", so
    // the search goes straight on to CUDA.
    if (working == kCpuProvider && lists(availableProviders, kCudaRuntimeName))
        working = appendCuda() ? kCudaProvider : kCpuProvider;
    return working;
}

void PoseEstimator::Impl::checkModelContract(const OrtSession* candidate) const
{
    using namespace kestro::ort;
    const OrtApi& ort = api();
    size_t inputs = 0;
    size_t outputs = 0;
    check(ort.SessionGetInputCount(candidate, &inputs));
    check(ort.SessionGetOutputCount(candidate, &outputs));
    if (inputs < 1 || outputs < 1) {
        throw ContractError("Model must have an input and an output, found "
                            + std::to_string(inputs) + " inputs and " + std::to_string(outputs)
                            + " outputs");
    }
    // Dimensions the model leaves open (-1) are fine: we always feed 1x3x640x640.
    const TensorShape shape = sessionInputShape(candidate, 0);
    bool matches = shape.elementType == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT
                   && shape.dimensions.size() == inputShape.size();
    for (size_t i = 0; matches && i < inputShape.size(); ++i)
        matches = shape.dimensions[i] < 0 || shape.dimensions[i] == inputShape[i];
    if (!matches) {
        throw ContractError("Model input must be a float tensor of shape 1x3x640x640, found "
                            + typeName(shape.elementType) + " " + shape.text());
    }
}

bool PoseEstimator::Impl::offersTracking(const OrtSession* candidate)
{
    using namespace kestro::ort;
    size_t outputs = 0;
    check(api().SessionGetOutputCount(candidate, &outputs));
    bool next = false;
    bool candidates = false;
    for (size_t i = 1; i < outputs; ++i) {
        const std::string name = sessionOutputName(candidate, i);
        next = next || name == kNextTrackOutput;
        candidates = candidates || name == kCandidateTracksOutput;
    }
    return next && candidates;
}

bool PoseEstimator::init(const std::string& modelPath, const std::string& provider)
{
    using namespace kestro::ort;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Impl& d = *m_impl;
    try {
        const OrtApi& ort = api();
        OrtSessionOptions* rawOptions = nullptr;
        check(ort.CreateSessionOptions(&rawOptions));
        d.sessionOptions.reset(rawOptions);
        configureIntraOpThreads(d.sessionOptions.get(), PoseEstimator::intraOpThreadCount());
        check(ort.SetSessionGraphOptimizationLevel(d.sessionOptions.get(), ORT_ENABLE_ALL));
        // The embedded network's "track" input has a default (so that a
        // runner feeding only "images" works), which the runtime warns about
        // at every load; for our own network that warning is expected.
        if (modelPath == kEmbeddedModelPath)
            check(ort.SetSessionLogSeverityLevel(d.sessionOptions.get(), ORT_LOGGING_LEVEL_ERROR));
        d.activeProvider = d.chooseProvider(provider);

        // Qt's file layer reads resource paths (":/models/...") and files alike.
        QFile file(QString::fromStdString(modelPath));
        if (!file.open(QIODevice::ReadOnly)) {
            std::cerr << kLogPrefix << "Failed to open model file: " << modelPath << std::endl;
            return false;
        }
        const QByteArray bytes = file.readAll();
        if (bytes.isEmpty()) {
            std::cerr << kLogPrefix << "Model data is empty: " << modelPath << std::endl;
            return false;
        }

        OrtSession* rawSession = nullptr;
        check(ort.CreateSessionFromArray(d.env.get(), bytes.constData(),
                                         static_cast<size_t>(bytes.size()), d.sessionOptions.get(),
                                         &rawSession));
        UniqueSession candidate(rawSession);
        d.checkModelContract(candidate.get());
        std::string inputName = sessionInputName(candidate.get(), 0);
        std::string outputName = sessionOutputName(candidate.get(), 0);

        d.modelTracks = Impl::offersTracking(candidate.get());
        d.session = std::move(candidate);
        d.follower.reset();
        d.dropTrack();
        d.counts = {};
        d.inputName = std::move(inputName);
        d.outputName = std::move(outputName);
        d.modelLoaded = true;
        std::cout << kLogPrefix << "Loaded model successfully with provider: " << d.activeProvider
                  << std::endl;
        return true;
    } catch (const OrtError& error) {
        std::cerr << kLogPrefix << "ONNX Runtime Exception: " << error.what() << std::endl;
    } catch (const ContractError& error) {
        std::cerr << kLogPrefix << error.what() << std::endl;
    } catch (const std::exception& error) {
        std::cerr << kLogPrefix << "Exception: " << error.what() << std::endl;
    }
    // A model that could not be loaded must not leave the previous one
    // running under the new provider's name.
    d.session.reset();
    d.modelLoaded = false;
    return false;
}

PoseEstimator::Impl::NetworkRun PoseEstimator::Impl::runNetwork(const Track* crop)
{
    using namespace kestro::ort;
    const OrtApi& ort = api();
    auto tensor = [&](float* data, size_t count, const int64_t* shape, size_t rank) {
        OrtValue* raw = nullptr;
        check(ort.CreateTensorWithDataAsOrtValue(memoryInfo.get(), data, count * sizeof(float), shape, rank,
                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &raw));
        return UniqueValue(raw);
    };
    const UniqueValue input = tensor(inputTensor.data(), inputTensor.size(), inputShape.data(), inputShape.size());
    Track cropValues = crop ? *crop : Track{};
    const int64_t trackShape[] = {1, static_cast<int64_t>(kTrackValues)};
    const UniqueValue trackInput = crop ? tensor(cropValues.data(), kTrackValues, trackShape, 2) : UniqueValue();

    const char* inputNames[] = {inputName.c_str(), kTrackInput};
    const OrtValue* inputs[] = {input.get(), trackInput.get()};
    const char* outputNames[] = {outputName.c_str(), kNextTrackOutput, kCandidateTracksOutput};
    OrtValue* outputs[3] = {nullptr, nullptr, nullptr};
    const size_t outputCount = modelTracks ? 3 : 1;
    check(ort.Run(session.get(), nullptr, inputNames, inputs, crop ? 2 : 1, outputNames, outputCount, outputs));
    NetworkRun result;
    result.table.reset(outputs[0]);
    result.nextTrack.reset(outputs[1]);
    result.candidateTracks.reset(outputs[2]);
    ++(crop ? counts.trackedRuns : counts.detectorRuns);

    // The decoder reads 56 x 8400 floats: a model with any other output
    // would make it read past the runtime's buffer.
    const TensorShape shape = valueShape(result.table.get());
    const bool matches = shape.elementType == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT
                         && shape.dimensions
                                == std::vector<int64_t>{1, PoseOutputDecoder::kRowCount,
                                                        PoseOutputDecoder::kAnchorCount};
    if (!matches) {
        throw ContractError("Model output must be a float tensor of shape 1x56x8400, found "
                            + typeName(shape.elementType) + " " + shape.text());
    }
    void* data = nullptr;
    check(ort.GetTensorMutableData(result.table.get(), &data));
    result.data = static_cast<const float*>(data);
    if (modelTracks) {
        result.next = trackRows(result.nextTrack.get(), kNextTrackOutput).front();
        result.candidates = trackRows(result.candidateTracks.get(), kCandidateTracksOutput);
    }
    return result;
}

int PoseEstimator::Impl::landmarkCandidate(NetworkRun& result, int anchor, float personThreshold)
{
    // The rule or the follower wants a person the network offered without
    // keypoints: landmark that person's crop. (A row without a crop is one
    // the model gave keypoints itself.)
    const size_t index = static_cast<size_t>(anchor);
    if (index >= result.candidates.size() || !(result.candidates[index][kTrackSideIndex] > 0.0f))
        return anchor;
    NetworkRun chosen = runNetwork(&result.candidates[index]);
    ++counts.candidateRuns;
    if (chosen.confidence(0) >= personThreshold) {
        result = std::move(chosen);
    } else if (!(result.confidence(0) >= personThreshold)) {
        // On a closer look no person, and the network's own choice is none either.
        follower.reset();
        return -1;
    }
    // Followed from now on: the chosen person, or, when a closer look found
    // no person there, the one the network landmarked itself.
    follower.follow(result.data, 0);
    return 0;
}

PoseEstimator::PersonPose PoseEstimator::Impl::run(const cv::Mat& frame, float personThreshold,
                                                  const std::string& targetSelection)
{
    const PoseLetterbox letterbox = PoseLetterbox::forFrame(frame.cols, frame.rows);
    letterbox.fillTensor(frame, inputTensor.data());

    // A track holds for frames of one size and one rule: another size moves
    // the person in the input, another rule may choose someone else.
    if (frame.cols != trackedWidth || frame.rows != trackedHeight || targetSelection != trackedRule)
        dropTrack();
    trackedWidth = frame.cols;
    trackedHeight = frame.rows;
    trackedRule = targetSelection;

    NetworkRun result = runNetwork(modelTracks && hasTrack ? &track : nullptr);
    // The person left the crop (low pose flag): the detector looks again
    // in this same frame, so no frame goes by without a person found.
    if (modelTracks && hasTrack && !(result.confidence(0) >= personThreshold)) {
        dropTrack();
        result = runNetwork(nullptr);
    }
    int anchor = follower.choose(result.data, personThreshold, targetSelection);
    if (anchor > 0 && modelTracks)
        anchor = landmarkCandidate(result, anchor, personThreshold);
    if (anchor < 0) {
        dropTrack();
        return {};
    }
    if (modelTracks) {
        Track next = result.next;
        const float extent = boxExtent(result.data, anchor);
        if (!hasTrack) {
            // Without a track this run detected: its crop is no reference.
            shape = next;
            shapeExtent = extent;
        } else if (extent > shapeExtent * kShapeSlack || extent * kShapeSlack < shapeExtent) {
            dropTrack();
            return PoseOutputDecoder::decode(result.data, anchor, letterbox);
        }
        std::copy(shape.begin() + kTrackSideIndex, shape.end(), next.begin() + kTrackSideIndex);
        if (!hasTrack || !nearlySame(track, next))
            track = next;
        hasTrack = track[kTrackSideIndex] > 0.0f;
    }
    return PoseOutputDecoder::decode(result.data, anchor, letterbox);
}

PoseEstimator::PersonPose PoseEstimator::infer(const cv::Mat& frame, float personThreshold,
                                               float keypointThreshold,
                                               const std::string& targetSelection)
{
    // Keypoint confidences are returned as they come; the overlay and the
    // retargeter apply thresholds of their own.
    (void)keypointThreshold;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->modelLoaded || frame.empty())
        return {};
    try {
        return m_impl->run(frame, personThreshold, targetSelection);
    } catch (const kestro::ort::OrtError& error) {
        std::cerr << kLogPrefix << "Run error: " << error.what() << std::endl;
    } catch (const ContractError& error) {
        // Every later frame would fail the same way: unload, report once.
        std::cerr << kLogPrefix << error.what() << std::endl;
        m_impl->session.reset();
        m_impl->modelLoaded = false;
    }
    return {};
}

void PoseEstimator::forgetFollowedPerson()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->follower.reset();
    m_impl->dropTrack();
}

PoseEstimator::InferenceCounts PoseEstimator::inferenceCounts() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->counts;
}

bool PoseEstimator::isModelLoaded() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->modelLoaded;
}

std::string PoseEstimator::getActiveProviderName() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->activeProvider;
}

std::vector<std::string> PoseEstimator::getAvailableProviders() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->availableProviders;
}

// More worker threads than there are cores preempt one another: on a
// 2-core machine 4 threads ran the network about three times slower than 2.
// Machines with at least 4 cores keep 4.
int PoseEstimator::intraOpThreadCount()
{
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0)
        return kIntraOpThreads;
    return std::min(kIntraOpThreads, static_cast<int>(cores));
}
