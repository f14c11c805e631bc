#include "robot/pose_retargeter.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

using Keypoint = PoseEstimator::Keypoint;

// COCO keypoint indices as the pose network labels them.
enum CocoKeypoint : int {
    kNose = 0,
    kLeftEye = 1,
    kRightEye = 2,
    kLeftEar = 3,
    kRightEar = 4,
    kLeftShoulder = 5,
    kRightShoulder = 6,
    kLeftElbow = 7,
    kRightElbow = 8,
    kLeftWrist = 9,
    kRightWrist = 10,
    kLeftHip = 11,
    kRightHip = 12,
    kLeftKnee = 13,
    kRightKnee = 14,
    kLeftAnkle = 15,
    kRightAnkle = 16,
};

// Confidence a keypoint needs before a joint is derived from it.
constexpr float kFaceConfidence = 0.3f;        // nose, each eye
constexpr float kEarConfidence = 0.25f;
constexpr float kProfileEyeConfidence = 0.35f; // the one eye of a profile view
constexpr float kProfileHiddenEye = 0.2f;      // ...while the other is this unsure
constexpr float kArmConfidence = 0.35f;        // shoulder, elbow, wrist
constexpr float kHipConfidence = 0.3f;
constexpr float kLegConfidence = 0.4f;         // hip, knee and ankle for a knee

// Head yaw: the nose's offset from the eye/ear midpoint, in units of the
// eye/ear spacing, times a gain; bounded by the head joint's URDF range.
constexpr double kYawGain = 2.8;
constexpr double kYawMin = -0.9756;
constexpr double kYawMax = 0.9233;
constexpr float kEyeWeight = 0.6f;
constexpr float kEarWeight = 0.4f;

constexpr float kLengthEpsilon = 1e-4f;
// Two keypoints closer than this (a fraction of the frame) give no direction
// to measure an angle from: a collapsed limb or torso is a failed detection,
// not a pose, and its angle would be arbitrary (a bend of pi for a forearm
// folded onto nothing). What such points would drive is left out.
constexpr float kMinSeparation = 0.01f;
// The upper arm is about this fraction of the shoulder-to-hip distance; an
// arm pointing at the camera looks shorter than that.
constexpr float kUpperArmScale = 0.65f;
constexpr float kPitchFullyForward = 0.15f; // below this ratio: arm straight at the camera
constexpr float kPitchNone = 0.85f;         // above this ratio: arm in the image plane
constexpr float kPitchSpan = 0.65000004f;   // 0.85 - 0.2 in single precision: pi/2 at r = 0.2
constexpr float kHalfPiF = 1.5707964f;
// A point far straight below the shoulder stands in for a hip that is not seen.
constexpr float kVerticalReference = 100.0f;

const char* const kFullBodyMode = "full_body";

float distance(const Keypoint& a, const Keypoint& b)
{
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    return std::sqrt(dx * dx + dy * dy);
}

double angleAt(const Keypoint& a, const Keypoint& vertex, const Keypoint& c)
{
    return PoseRetargeter::computeAngle2D(a.x, a.y, vertex.x, vertex.y, c.x, c.y);
}

// pi minus the angle at the middle joint: 0 for a straight limb.
double bendAt(const Keypoint& a, const Keypoint& vertex, const Keypoint& c)
{
    return kPi - angleAt(a, vertex, c);
}

bool finite(const Keypoint& k)
{
    return std::isfinite(k.x) && std::isfinite(k.y) && std::isfinite(k.confidence);
}

bool tooClose(const Keypoint& a, const Keypoint& b)
{
    return distance(a, b) < kMinSeparation;
}

// A copy of the keypoints in which every point that cannot be measured from
// counts as not seen (confidence 0): values that are not numbers, the far
// end of a collapsed limb, and both points of a collapsed pair (eyes, ears,
// shoulders, hips) when both are seen.
std::array<Keypoint, PoseEstimator::kKeypointCount> usableKeypoints(const PoseEstimator::PersonPose& pose)
{
    std::array<Keypoint, PoseEstimator::kKeypointCount> k = pose.keypoints;
    for (Keypoint& keypoint : k) {
        if (!finite(keypoint))
            keypoint = Keypoint{};
    }
    const std::array<Keypoint, PoseEstimator::kKeypointCount> seen = k;
    auto dropPair = [&](int a, int b, float threshold) {
        if (seen[a].confidence > threshold && seen[b].confidence > threshold && tooClose(seen[a], seen[b]))
            k[a].confidence = k[b].confidence = 0.0f;
    };
    dropPair(kLeftEye, kRightEye, kFaceConfidence);
    dropPair(kLeftEar, kRightEar, kEarConfidence);
    dropPair(kLeftShoulder, kRightShoulder, kArmConfidence);
    dropPair(kLeftHip, kRightHip, kHipConfidence);
    // From the body outwards: a point on top of the one it hangs from.
    auto dropEnd = [&](int from, int end) {
        if (tooClose(seen[from], seen[end]))
            k[end].confidence = 0.0f;
    };
    for (const auto& [shoulder, elbow, wrist, hip, knee, ankle] :
         {std::array<int, 6>{kLeftShoulder, kLeftElbow, kLeftWrist, kLeftHip, kLeftKnee, kLeftAnkle},
          std::array<int, 6>{kRightShoulder, kRightElbow, kRightWrist, kRightHip, kRightKnee, kRightAnkle}}) {
        dropEnd(shoulder, elbow);
        dropEnd(elbow, wrist);
        // A hip on a seen shoulder is no body axis.
        if (seen[shoulder].confidence > kArmConfidence)
            dropEnd(shoulder, hip);
        dropEnd(hip, knee);
        dropEnd(knee, ankle);
    }
    return k;
}

} // namespace

PoseRetargeter::PoseRetargeter(const UrdfLimits& limits)
    : m_limits(limits)
{
}

void PoseRetargeter::reset()
{
    m_prevAngles.fill(0.0);
    m_hasPrev = false;
}

double PoseRetargeter::computeAngle2D(float ax, float ay, float bx, float by, float cx, float cy)
{
    const float ux = ax - bx;
    const float uy = ay - by;
    const float uLength = std::sqrt(ux * ux + uy * uy);
    if (uLength < kLengthEpsilon)
        return 0.0;
    const float vx = cx - bx;
    const float vy = cy - by;
    const float vLength = std::sqrt(vx * vx + vy * vy);
    if (vLength < kLengthEpsilon)
        return 0.0;
    const float cosine = std::clamp((ux * vx + uy * vy) / (uLength * vLength), -1.0f, 1.0f);
    return static_cast<double>(std::acos(cosine));
}

double PoseRetargeter::shoulderPitchFromForeshortening(float ratio)
{
    if (ratio < kPitchFullyForward)
        return static_cast<double>(-kHalfPiF);
    if (ratio >= kPitchNone)
        return 0.0;
    const float t = (kPitchNone - ratio) / kPitchSpan * kHalfPiF;
    return static_cast<double>(t > kHalfPiF ? -kHalfPiF : -t);
}

void PoseRetargeter::retargetHead(const PoseEstimator::PersonPose& pose, bool mirror, RawJoints* raw)
{
    const auto& k = pose.keypoints;
    if (!(k[kNose].confidence > kFaceConfidence))
        return;

    const Keypoint& nose = k[kNose];
    const Keypoint& leftEye = k[kLeftEye];
    const Keypoint& rightEye = k[kRightEye];
    const Keypoint& leftEar = k[kLeftEar];
    const Keypoint& rightEar = k[kRightEar];
    const float eyeEstimate =
        (nose.x - (leftEye.x + rightEye.x) * 0.5f) / (std::fabs(rightEye.x - leftEye.x) + kLengthEpsilon);
    const float earEstimate =
        (nose.x - (leftEar.x + rightEar.x) * 0.5f) / ((std::fabs(rightEar.x - leftEar.x) + kLengthEpsilon) * 0.5f);

    const bool earsSeen = leftEar.confidence > kEarConfidence && rightEar.confidence > kEarConfidence;
    const bool leftEyeSeen = leftEye.confidence > kFaceConfidence;
    const bool rightEyeSeen = rightEye.confidence > kFaceConfidence;

    float estimate = 0.0f;
    if (earsSeen && leftEyeSeen && rightEyeSeen) {
        estimate = kEyeWeight * eyeEstimate + kEarWeight * earEstimate;
    } else if (earsSeen) {
        estimate = earEstimate;
    } else if (leftEyeSeen && rightEyeSeen) {
        estimate = eyeEstimate;
    } else {
        // A profile: one eye clearly seen, the other clearly hidden. The
        // midpoint estimate is meaningless then, so the head goes to the end
        // of its range on that side.
        if (leftEyeSeen) {
            if (leftEye.confidence > kProfileEyeConfidence && rightEye.confidence < kProfileHiddenEye)
                raw->set(ServoChannel::HeadYaw, mirror ? kYawMax : kYawMin);
        } else if (rightEye.confidence > kProfileEyeConfidence && leftEye.confidence < kProfileHiddenEye) {
            raw->set(ServoChannel::HeadYaw, mirror ? kYawMin : kYawMax);
        }
        return;
    }

    // A mirrored frame shows the head turned the other way.
    const double yaw = mirror ? kYawGain * -static_cast<double>(estimate) : kYawGain * static_cast<double>(estimate);
    raw->set(ServoChannel::HeadYaw, std::clamp(yaw, kYawMin, kYawMax));
}

void PoseRetargeter::retargetArm(const PoseEstimator::PersonPose& pose, const BodySide& side, bool robotLeft,
                                 RawJoints* raw)
{
    const auto& k = pose.keypoints;
    const Keypoint& shoulder = k[side.shoulder];
    const Keypoint& elbow = k[side.elbow];
    const Keypoint& wrist = k[side.wrist];
    const Keypoint& hip = k[side.hip];
    if (!(shoulder.confidence > kArmConfidence && elbow.confidence > kArmConfidence))
        return;

    const int pitchChannel = robotLeft ? ServoChannel::LeftShoulderPitch : ServoChannel::RightShoulderPitch;
    const int rollChannel = robotLeft ? ServoChannel::LeftShoulderRoll : ServoChannel::RightShoulderRoll;
    const int elbowChannel = robotLeft ? ServoChannel::LeftElbow : ServoChannel::RightElbow;
    // The left roll joint opens to positive angles, the right one to negative.
    const double rollSign = robotLeft ? 1.0 : -1.0;

    if (hip.confidence > kHipConfidence) {
        raw->set(rollChannel, rollSign * angleAt(hip, shoulder, elbow));
        const float expectedUpperArm = kUpperArmScale * distance(hip, shoulder);
        if (expectedUpperArm > kLengthEpsilon)
            raw->set(pitchChannel, shoulderPitchFromForeshortening(distance(elbow, shoulder) / expectedUpperArm));
    } else {
        // Without a hip there is no body axis and no arm-length reference:
        // roll is measured from the vertical and pitch is held level.
        Keypoint below = shoulder;
        below.y += kVerticalReference;
        raw->set(rollChannel, rollSign * angleAt(below, shoulder, elbow));
        raw->set(pitchChannel, 0.0);
    }

    if (wrist.confidence > kArmConfidence) {
        const double bend = bendAt(shoulder, elbow, wrist);
        // Which way the forearm turns relative to the upper arm in the image.
        const float cross = (elbow.x - shoulder.x) * (wrist.y - elbow.y) - (elbow.y - shoulder.y) * (wrist.x - elbow.x);
        const bool positive = robotLeft ? !(cross < 0.0f) : cross > 0.0f;
        raw->set(elbowChannel, positive ? bend : -bend);
    }
}

void PoseRetargeter::retargetKnee(const PoseEstimator::PersonPose& pose, const BodySide& side, int channel,
                                  RawJoints* raw)
{
    const auto& k = pose.keypoints;
    const Keypoint& hip = k[side.hip];
    const Keypoint& knee = k[side.knee];
    const Keypoint& ankle = k[side.ankle];
    if (hip.confidence > kLegConfidence && knee.confidence > kLegConfidence && ankle.confidence > kLegConfidence)
        raw->set(channel, bendAt(hip, knee, ankle));
}

ServoValidArray PoseRetargeter::drivenChannels(const std::string& mode)
{
    ServoValidArray channels{};
    using namespace ServoChannel;
    for (int channel : {HeadYaw, LeftShoulderPitch, LeftShoulderRoll, LeftElbow, RightElbow, RightShoulderRoll,
                        RightShoulderPitch})
        channels[channel] = true;
    if (mode == kFullBodyMode)
        channels[LeftKneePitch] = channels[RightKneePitch] = true;
    return channels;
}

RetargetResult PoseRetargeter::process(const PoseEstimator::PersonPose& pose, bool mirror, float smoothingAlpha,
                                       float deadbandDeg, float safetyMarginDeg, const std::string& mode)
{
    RetargetResult result;
    for (int channel = 0; channel < kServoCount; ++channel)
        result.pwm[channel] = m_limits.getCalibration(channel).center;
    if (!pose.valid)
        return result;

    // The network labels sides as the person sees them; facing the camera
    // unmirrored, the person's right arm is on the robot's left.
    static constexpr BodySide kPersonLeft{kLeftShoulder, kLeftElbow, kLeftWrist, kLeftHip, kLeftKnee, kLeftAnkle};
    static constexpr BodySide kPersonRight{kRightShoulder, kRightElbow, kRightWrist,
                                           kRightHip, kRightKnee, kRightAnkle};
    const BodySide& robotLeftSource = mirror ? kPersonLeft : kPersonRight;
    const BodySide& robotRightSource = mirror ? kPersonRight : kPersonLeft;

    PoseEstimator::PersonPose usable = pose;
    usable.keypoints = usableKeypoints(pose);
    RawJoints raw;
    retargetHead(usable, mirror, &raw);
    retargetArm(usable, robotLeftSource, true, &raw);
    retargetArm(usable, robotRightSource, false, &raw);
    if (mode == kFullBodyMode) {
        retargetKnee(usable, robotLeftSource, ServoChannel::LeftKneePitch, &raw);
        retargetKnee(usable, robotRightSource, ServoChannel::RightKneePitch, &raw);
    }

    const double alpha = smoothingAlpha;
    const double deadband = static_cast<double>(deadbandDeg) * kPi / 180.0;
    for (int channel = 0; channel < kServoCount; ++channel) {
        if (!raw.valid[channel])
            continue; // keeps angle 0, the centre PWM and its filter history
        double angle = raw.angles[channel];
        if (m_hasPrev) {
            const double previous = m_prevAngles[channel];
            angle = std::abs(angle - previous) < deadband ? previous : alpha * angle + (1.0 - alpha) * previous;
        }
        result.angles[channel] = m_limits.clamp(channel, angle, safetyMarginDeg);
        result.pwm[channel] = m_limits.angleToPwm(channel, result.angles[channel], safetyMarginDeg);
        result.valid[channel] = true;
        m_prevAngles[channel] = result.angles[channel];
    }
    m_hasPrev = true;
    result.ok = true;
    return result;
}
