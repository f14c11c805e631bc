#pragma once

#include "vision/cv_core.h"
#include "vision/demo_script.h"

#include <array>
#include <vector>

// A point of the figure in pixels (x right, y down).
struct FigurePoint
{
    double x = 0.0;
    double y = 0.0;
};

// The 17 keypoints of a figure in COCO order (nose, eyes, ears, shoulders,
// elbows, wrists, hips, knees, ankles; left and right are the person's own).
using FigureKeypoints = std::array<FigurePoint, 17>;

// A photograph of a person and where its moving limbs and head are, in the
// photograph's pixels: what the animator needs to cut them out.
struct DemoPhotograph
{
    struct Arm
    {
        // Half the limb's thickness at the shoulder, elbow and wrist, and of
        // the hand at its tip (fingers spread are wider than the wrist).
        double shoulderRadius = 0.0;
        double elbowRadius = 0.0;
        double wristRadius = 0.0;
        double handRadius = 0.0;
        FigurePoint handTip;
        // A loose sleeve's lowest point, and its half width there: it moves
        // with the upper arm.
        FigurePoint sleeveTip;
        double sleeveRadius = 0.0;
    };

    cv::Mat image; // BGR
    FigureKeypoints keypoints;
    Arm leftArm;
    Arm rightArm;
    // The head as an ellipse, and the point it tilts about.
    FigurePoint headCentre;
    double headRadiusX = 0.0;
    double headRadiusY = 0.0;
    FigurePoint neck;
};

// Moves the arms and the head of a photographed person to given joint
// angles: each moving limb or the head is cut out with a soft edge and turned rigidly
// about its joint (the forearm about the moved elbow), over a copy of the
// photograph in which those limbs and the head were painted over with the surrounding
// backdrop.
// The geometry (keypointsAt) is apart from the painting (render), so that
// where the figure's joints are is known exactly for every pose.
class DemoAnimator
{
public:
    // The photograph is scaled to fit `bounds`, keeping its aspect ratio.
    DemoAnimator(const DemoPhotograph& photograph, cv::Size bounds);

    cv::Size frameSize() const { return m_frameSize; }
    // The angles the person holds in the photograph itself.
    DemoJointAngles restAngles() const;
    // The figure's keypoints at `angles`, in frame pixels.
    FigureKeypoints keypointsAt(const DemoJointAngles& angles) const;
    // The picture at `angles`, frameSize() large.
    void render(const DemoJointAngles& angles, cv::Mat& frame) const;

private:
    // A soft-edged outline: a union of tapered capsules, or an ellipse.
    struct Capsule
    {
        FigurePoint from;
        FigurePoint to;
        double fromRadius;
        double toRadius;
    };
    struct Outline
    {
        std::vector<Capsule> capsules;
        bool ellipse = false;
        FigurePoint centre;
        double radiusX = 0.0;
        double radiusY = 0.0;
        // Signed distance in pixels: negative inside.
        double distance(const FigurePoint& p) const;
        // Bounding box as (left, top, right, bottom).
        std::array<double, 4> bounds() const;
    };
    // Source point `pivot` goes to `placed`, turned by `angle` about it.
    struct Placement
    {
        FigurePoint pivot;
        FigurePoint placed;
        double angle = 0.0;
        FigurePoint apply(const FigurePoint& p) const;
        FigurePoint invert(const FigurePoint& q) const;
    };
    struct Cutout
    {
        Outline outline;
    };
    struct ArmCutouts
    {
        int shoulder, elbow, wrist, hip;
        Cutout upper;
        Cutout lower;
    };
    struct ArmPose
    {
        Placement upper;
        Placement lower;
    };

    ArmCutouts makeArm(const DemoPhotograph::Arm& arm, int shoulder, int elbow, int wrist, int hip) const;
    ArmPose armPose(const ArmCutouts& arm, double shoulderAngle, double elbowBend) const;
    Placement headPlacement(double tilt) const;
    double restShoulderAngle(const ArmCutouts& arm) const;
    double restSignedBend(const ArmCutouts& arm) const;
    // Which way turns the arm away from the body: +1 or -1 in picture angles.
    double raiseSense(const ArmCutouts& arm) const;
    // How much of the photograph at p is a moving limb or the head, with a margin.
    double backdropOpacity(const FigurePoint& p) const;
    void paintBackdrop();
    void paintCutout(const Cutout& cutout, const Placement& placement, cv::Mat& frame) const;

    cv::Size m_frameSize;
    cv::Mat m_photo;    // scaled to the frame
    cv::Mat m_backdrop; // the photo without its moving limbs and head
    FigureKeypoints m_rest;
    ArmCutouts m_leftArm;
    ArmCutouts m_rightArm;
    Cutout m_head;
    FigurePoint m_neck;
};
