#pragma once

#include "vision/pose_estimator.h"
#include "vision/pose_letterbox.h"

#include <string>

// Reads the network's output table (56 rows x 8400 anchors, row-major):
// picks one anchor and maps it back into the frame.
class PoseOutputDecoder
{
public:
    static constexpr int kAnchorCount = 8400;
    static constexpr int kRowCount = 56;
    static constexpr int kConfidenceRow = 4;
    static constexpr int kFirstKeypointRow = 5;
    // targetSelection value that ranks people by box area, not confidence.
    static constexpr const char* kLargestSelection = "largest";

    // Index of the chosen anchor, or -1 when none reaches the threshold
    // (a confidence equal to it qualifies). Ties keep the first anchor.
    static int selectAnchor(const float* output, float personThreshold,
                            const std::string& targetSelection);

    // The person at `anchor`, in fractions of the letterboxed frame.
    static PoseEstimator::PersonPose decode(const float* output, int anchor,
                                            const PoseLetterbox& letterbox);
};
