#pragma once

#include "vision/pose_estimator.h"

#include <cmath>

// Small helpers that place keypoints for retargeting tests. Coordinates are
// fractions of the frame, y growing downwards, as the estimator reports them.
namespace pose_builder {

enum Keypoint : int {
    kNose = 0, kLeftEye, kRightEye, kLeftEar, kRightEar,
    kLeftShoulder, kRightShoulder, kLeftElbow, kRightElbow, kLeftWrist, kRightWrist,
    kLeftHip, kRightHip, kLeftKnee, kRightKnee, kLeftAnkle, kRightAnkle,
};

inline void place(PoseEstimator::PersonPose* pose, int index, float x, float y, float confidence = 0.9f)
{
    pose->keypoints[index] = PoseEstimator::Keypoint{x, y, confidence};
}

inline PoseEstimator::PersonPose validPose()
{
    PoseEstimator::PersonPose pose;
    pose.valid = true;
    pose.score = 0.9f;
    return pose;
}

// A face whose nose sits so that the eye estimate alone gives `yaw` radians
// of head yaw without mirroring (yaw = 2.8 x offset / eye spacing).
inline PoseEstimator::PersonPose headPose(double yaw)
{
    PoseEstimator::PersonPose pose = validPose();
    const float spacing = 0.2f;
    place(&pose, kLeftEye, 0.6f, 0.2f);
    place(&pose, kRightEye, 0.4f, 0.2f);
    place(&pose, kNose, static_cast<float>(0.5 + yaw / 2.8 * (spacing + 1e-4)), 0.25f);
    return pose;
}

// An arm on one side of the person: shoulder at (sx, sy), the elbow at
// `upper` distance in direction `armDeg` from straight down (positive
// towards +x), the hip 0.4 straight below the shoulder unless hidden.
struct ArmSpec
{
    float sx = 0.5f, sy = 0.3f;
    double armDeg = 0.0;
    float upper = 0.2f;
    bool hipSeen = true;
    bool wristSeen = false;
    double forearmDeg = 0.0; // direction of the forearm, same convention
};

inline void placeArm(PoseEstimator::PersonPose* pose, bool personLeft, const ArmSpec& arm)
{
    const double rad = arm.armDeg * M_PI / 180.0;
    const float ex = arm.sx + static_cast<float>(arm.upper * std::sin(rad));
    const float ey = arm.sy + static_cast<float>(arm.upper * std::cos(rad));
    const double frad = arm.forearmDeg * M_PI / 180.0;
    const float wx = ex + static_cast<float>(0.15 * std::sin(frad));
    const float wy = ey + static_cast<float>(0.15 * std::cos(frad));
    place(pose, personLeft ? kLeftShoulder : kRightShoulder, arm.sx, arm.sy);
    place(pose, personLeft ? kLeftElbow : kRightElbow, ex, ey);
    place(pose, personLeft ? kLeftWrist : kRightWrist, wx, wy, arm.wristSeen ? 0.9f : 0.0f);
    place(pose, personLeft ? kLeftHip : kRightHip, arm.sx, arm.sy + 0.4f, arm.hipSeen ? 0.9f : 0.0f);
}

// A leg from the hip down: thigh straight down, shin turned by kneeDeg.
inline void placeLeg(PoseEstimator::PersonPose* pose, bool personLeft, double kneeDeg, float confidence = 0.9f)
{
    const float hx = personLeft ? 0.55f : 0.45f;
    const double rad = kneeDeg * M_PI / 180.0;
    place(pose, personLeft ? kLeftHip : kRightHip, hx, 0.5f, confidence);
    place(pose, personLeft ? kLeftKnee : kRightKnee, hx, 0.7f, confidence);
    place(pose, personLeft ? kLeftAnkle : kRightAnkle, hx + static_cast<float>(0.2 * std::sin(rad)),
          0.7f + static_cast<float>(0.2 * std::cos(rad)), confidence);
}

} // namespace pose_builder
