#include "vision/pose_output_decoder.h"

namespace {

float at(const float* output, int row, int anchor)
{
    return output[static_cast<size_t>(row) * PoseOutputDecoder::kAnchorCount
                  + static_cast<size_t>(anchor)];
}

} // namespace

int PoseOutputDecoder::selectAnchor(const float* output, float personThreshold,
                                    const std::string& targetSelection)
{
    const bool byArea = targetSelection == kLargestSelection;
    const float* confidence = output + static_cast<size_t>(kConfidenceRow) * kAnchorCount;
    int best = -1;
    float bestValue = -1.0f;
    for (int anchor = 0; anchor < kAnchorCount; ++anchor) {
        const float c = confidence[anchor];
        // Written so that a NaN confidence never qualifies.
        if (!(c >= personThreshold))
            continue;
        const float value = byArea ? at(output, 2, anchor) * at(output, 3, anchor) : c;
        if (value > bestValue) {
            bestValue = value;
            best = anchor;
        }
    }
    return best;
}

PoseEstimator::PersonPose PoseOutputDecoder::decode(const float* output, int anchor,
                                                    const PoseLetterbox& letterbox)
{
    PoseEstimator::PersonPose pose;
    const float cx = at(output, 0, anchor);
    const float cy = at(output, 1, anchor);
    const float w = at(output, 2, anchor);
    const float h = at(output, 3, anchor);
    pose.x1 = letterbox.frameX(cx - w / 2.0f);
    pose.y1 = letterbox.frameY(cy - h / 2.0f);
    pose.x2 = letterbox.frameX(cx + w / 2.0f);
    pose.y2 = letterbox.frameY(cy + h / 2.0f);
    pose.score = at(output, kConfidenceRow, anchor);
    pose.valid = true;
    for (int k = 0; k < PoseEstimator::kKeypointCount; ++k) {
        const int row = kFirstKeypointRow + 3 * k;
        PoseEstimator::Keypoint& keypoint = pose.keypoints[static_cast<size_t>(k)];
        const float inputX = at(output, row, anchor);
        const float inputY = at(output, row + 1, anchor);
        keypoint.x = letterbox.frameX(inputX);
        keypoint.y = letterbox.frameY(inputY);
        // A point placed outside the picture is a guess, and clamped onto
        // the edge it would be a wrong point: it is reported as not seen.
        keypoint.confidence = letterbox.onFrame(inputX, inputY) ? at(output, row + 2, anchor) : 0.0f;
    }
    return pose;
}
