#include "vision/pose_estimator.h"

#include "vision/cv_core.h"
#include "vision/onnx_runtime_handles.h"
#include "vision/pose_letterbox.h"
#include "vision/person_follower.h"
#include "vision/pose_output_decoder.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
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

    std::string chooseProvider(const std::string& provider);
    bool appendCuda();
    void checkModelContract(const OrtSession* candidate) const;
    PersonPose run(const cv::Mat& frame, float personThreshold, const std::string& targetSelection);
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

        d.session = std::move(candidate);
        d.follower.reset();
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

PoseEstimator::PersonPose PoseEstimator::Impl::run(const cv::Mat& frame, float personThreshold,
                                                  const std::string& targetSelection)
{
    using namespace kestro::ort;
    const OrtApi& ort = api();
    const PoseLetterbox letterbox = PoseLetterbox::forFrame(frame.cols, frame.rows);
    letterbox.fillTensor(frame, inputTensor.data());

    OrtValue* rawInput = nullptr;
    check(ort.CreateTensorWithDataAsOrtValue(memoryInfo.get(), inputTensor.data(),
                                             inputTensor.size() * sizeof(float), inputShape.data(),
                                             inputShape.size(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                             &rawInput));
    UniqueValue input(rawInput);
    const char* inputNames[] = {inputName.c_str()};
    const char* outputNames[] = {outputName.c_str()};
    const OrtValue* inputs[] = {input.get()};
    OrtValue* rawOutput = nullptr;
    check(ort.Run(session.get(), nullptr, inputNames, inputs, 1, outputNames, 1, &rawOutput));
    UniqueValue output(rawOutput);

    // The decoder reads 56 x 8400 floats: a model with any other output
    // would make it read past the runtime's buffer.
    const TensorShape shape = valueShape(output.get());
    const bool matches = shape.elementType == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT
                         && shape.dimensions
                                == std::vector<int64_t>{1, PoseOutputDecoder::kRowCount,
                                                        PoseOutputDecoder::kAnchorCount};
    if (!matches) {
        throw ContractError("Model output must be a float tensor of shape 1x56x8400, found "
                            + typeName(shape.elementType) + " " + shape.text());
    }
    void* data = nullptr;
    check(ort.GetTensorMutableData(output.get(), &data));
    const float* table = static_cast<const float*>(data);

    const int anchor = follower.choose(table, personThreshold, targetSelection);
    if (anchor < 0)
        return {};
    return PoseOutputDecoder::decode(table, anchor, letterbox);
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
