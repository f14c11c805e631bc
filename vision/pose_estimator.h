#pragma once

#include <array>

// The pose estimator's result types. The estimator itself (ONNX Runtime
// behind a private record) is declared here as it is built; this header
// must stay free of runtime headers so that robot/ can use the types alone.
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
};
