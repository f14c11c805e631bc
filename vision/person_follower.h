#pragma once

#include <string>

// Keeps the pose estimator on the person it chose, frame after frame. The
// selection rule alone ("largest", "confidence") chooses anew in every frame,
// so a bystander who walks behind the operator, larger or more confidently
// detected for a moment, would take over the robot mid-session. Once a person
// is chosen, only a candidate whose box overlaps that person's last box is
// reported; while none does, nobody is (the robot holds still under the
// watchdog), and after kFramesToLetGo such frames in a row the rule chooses
// again. Boxes are compared in the network's input pixels.
class PersonFollower
{
public:
    struct Box
    {
        float cx = 0.0f;
        float cy = 0.0f;
        float w = 0.0f;
        float h = 0.0f;
    };

    // Intersection over union of two boxes that still counts as the same
    // person from one frame to the next: at camera rate a person's box moves
    // and grows far less than that, and a raised arm keeps about 0.75.
    static constexpr float kMinOverlap = 0.4f;
    // About half a second at 30 frames per second: a person hidden for a
    // moment is found again, one who left is given up.
    static constexpr int kFramesToLetGo = 15;

    // The anchor of the network's output table (56 rows x 8400 anchors) to
    // report, or -1 for nobody. A new selection rule starts afresh.
    int choose(const float* table, float personThreshold, const std::string& targetSelection);
    // Follows the person at `anchor` from now on, whatever choose said: the
    // estimator's closer look at a person replaces the box it chose by.
    void follow(const float* table, int anchor);
    // Forgets the followed person (a new model, a new camera).
    void reset();
    bool isFollowing() const { return m_following; }

    static float overlap(const Box& a, const Box& b);

private:
    bool m_following = false;
    Box m_box;
    int m_framesMissed = 0;
    std::string m_rule;
};
