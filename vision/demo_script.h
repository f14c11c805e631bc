#pragma once

// The motion the demo's animated photograph performs: a smooth loop of joint
// angles that is a pure function of time, so that anyone holding the time of
// a frame knows exactly what the figure in it does. Angles are radians and
// belong to the person's own sides.
struct DemoJointAngles
{
    // Between the torso (shoulder to hip) and the upper arm: 0 arm down
    // along the body, pi/2 arm out sideways, more raised above.
    double leftShoulder = 0.0;
    double rightShoulder = 0.0;
    // Elbow bend: 0 a straight arm; the forearm folds towards the head side.
    double leftElbow = 0.0;
    double rightElbow = 0.0;
    // Head tilt in the picture plane about the neck, clockwise on screen.
    double headTilt = 0.0;
};

class DemoScript
{
public:
    // Every motion repeats a whole number of times in this period, so the
    // loop has no seam.
    static constexpr double kLoopSeconds = 12.0;

    // The figure's angles at `seconds` on any clock; only the time modulo
    // the loop matters.
    static DemoJointAngles at(double seconds);
};
