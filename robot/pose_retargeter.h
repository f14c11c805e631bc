#pragma once

#include "robot/joint_set.h"
#include "robot/urdf_limits.h"
#include "vision/pose_estimator.h"

#include <string>

// What one frame commands: an angle, a PWM value and a validity flag per
// channel. Channels not produced hold angle 0 and their calibration centre.
struct RetargetResult
{
    JointAngleArray angles{};
    ServoPwmArray pwm{};
    ServoValidArray valid{};
    bool ok = false;
};

// Maps the person chosen in a camera frame onto the robot's head, arms and
// (in full-body mode) knees from the 2D keypoints alone, then filters each
// channel over time (deadband, exponential smoothing) and clamps and converts
// it through the calibration. The ankles and hips are never commanded: a
// single camera cannot tell how the operator's weight sits on their legs.
class PoseRetargeter
{
public:
    // The limits are the process-wide service unless a test supplies its own.
    explicit PoseRetargeter(const UrdfLimits& limits = *UrdfLimits::instance());

    void reset();

    // The angle at vertex B between B->A and B->C, 0..pi; 0 when either ray
    // is too short to have a direction.
    static double computeAngle2D(float ax, float ay, float bx, float by, float cx, float cy);

    RetargetResult process(const PoseEstimator::PersonPose& pose, bool mirror, float smoothingAlpha,
                           float deadbandDeg, float safetyMarginDeg, const std::string& mode);

    // Every channel process() can drive in `mode`: the head and both arms,
    // and the knees in full-body mode. Other sources of motion are held to
    // the same set.
    static ServoValidArray drivenChannels(const std::string& mode);

private:
    // One side of the person as seen by the network (COCO keypoint indices).
    struct BodySide
    {
        int shoulder, elbow, wrist, hip, knee, ankle;
    };

    struct RawJoints
    {
        JointAngleArray angles{};
        ServoValidArray valid{};
        void set(int channel, double angle)
        {
            angles[channel] = angle;
            valid[channel] = true;
        }
    };

    static void retargetHead(const PoseEstimator::PersonPose& pose, bool mirror, RawJoints* raw);
    static void retargetArm(const PoseEstimator::PersonPose& pose, const BodySide& side, bool robotLeft,
                            RawJoints* raw);
    static void retargetKnee(const PoseEstimator::PersonPose& pose, const BodySide& side, int channel,
                             RawJoints* raw);
    static double shoulderPitchFromForeshortening(float ratio);

    const UrdfLimits& m_limits;
    JointAngleArray m_prevAngles{};
    bool m_hasPrev = false;
};
