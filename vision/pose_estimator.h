#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <QMetaType>

namespace cv {
class Mat;
}

// Finds at most one person in a camera frame with the embedded pose network
// (or a model file the user chose), run by ONNX Runtime. One instance is
// shared between the main window (which loads the model) and the camera
// thread (which calls infer); one mutex serialises every public operation.
// The runtime stays behind the private record, so this header is free of
// runtime headers and robot/ can use the result types alone.
class PoseEstimator
{
public:
    static constexpr int kKeypointCount = 17;

    struct Keypoint
    {
        float x = 0.0f;
        float y = 0.0f;
        float confidence = 0.0f;
    };

    // One person in a frame, coordinates as fractions of that frame's width
    // and height. Consumers test `valid` first.
    struct PersonPose
    {
        std::array<Keypoint, kKeypointCount> keypoints{};
        float x1 = 0.0f;
        float y1 = 0.0f;
        float x2 = 0.0f;
        float y2 = 0.0f;
        float score = 0.0f;
        bool valid = false;
    };

    // The resource path of the embedded network.
    static constexpr const char* kEmbeddedModelPath = ":/models/yolov8n-pose.onnx";
    // The runtime's intra-op thread count on this machine (at most 4, never
    // more than the cores).
    static int intraOpThreadCount();

    // Creates the runtime environment and reads the list of available
    // execution providers; a runtime failure throws kestro::ort::OrtError.
    PoseEstimator();
    ~PoseEstimator();

    PoseEstimator(const PoseEstimator&) = delete;
    PoseEstimator& operator=(const PoseEstimator&) = delete;

    // Loads a model (a file path or a Qt resource path) and chooses the
    // execution provider: "auto", "directml" and "cuda" search for an
    // accelerator, anything else uses the CPU. False on failure, with one
    // "PoseEstimator: " line on the error stream.
    bool init(const std::string& modelPath, const std::string& provider);

    // At most one person in a BGR frame. keypointThreshold is accepted for
    // the callers' convenience and does not affect the result.
    PersonPose infer(const cv::Mat& frame, float personThreshold, float keypointThreshold,
                     const std::string& targetSelection);

    // From one frame to the next, infer stays with the person it chose (see
    // PersonFollower); with the embedded network it also crops that person
    // where the last frame's keypoints put them instead of running the
    // person detector. A new scene (another camera, an unrelated picture)
    // starts with nobody followed and with the detector.
    void forgetFollowedPerson();

    // Network runs since the model was loaded: with the detector, with a
    // given crop (tracked), and of the tracked runs those that landmarked a
    // person the detector offered besides the one it landmarked itself.
    struct InferenceCounts
    {
        long detectorRuns = 0;
        long trackedRuns = 0;
        long candidateRuns = 0;
    };
    InferenceCounts inferenceCounts() const;

    bool isModelLoaded() const;
    std::string getActiveProviderName() const;
    std::vector<std::string> getAvailableProviders() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

Q_DECLARE_METATYPE(PoseEstimator::PersonPose)
