#pragma once

#include "vision/cv_core.h"

// How a frame is fitted into the network's square input: scaled to fit,
// centred, the rest grey. Also maps input pixels back to frame fractions.
class PoseLetterbox
{
public:
    static constexpr int kInputSize = 640;
    static constexpr int kPlaneSize = kInputSize * kInputSize;
    // The grey of the padding, as the network was trained.
    static constexpr unsigned char kPadValue = 114;

    // Geometry for a frame of cols x rows pixels (both > 0).
    static PoseLetterbox forFrame(int cols, int rows);

    // Fills the three planes (red, green, blue; values / 255) of a
    // 3 x 640 x 640 tensor from a BGR frame of this geometry's size.
    void fillTensor(const cv::Mat& frame, float* tensor) const;

    // Input pixel -> fraction of the frame width / height, clamped to [0, 1].
    float frameX(float inputX) const;
    float frameY(float inputY) const;
    // Whether an input pixel lies on the frame, not in the grey padding nor
    // outside the input (false for a coordinate that is not a number).
    bool onFrame(float inputX, float inputY) const;

    float scale = 1.0f;
    int newWidth = 0;
    int newHeight = 0;
    int padX = 0;
    int padY = 0;
    int frameWidth = 0;
    int frameHeight = 0;
};
