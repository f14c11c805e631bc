#include "vision/pose_letterbox.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// A NaN from a faulty model lands on the edge rather than travelling on
// into the overlay and the retargeter.
float clamp01(float v)
{
    if (!(v > 0.0f))
        return 0.0f;
    if (v > 1.0f)
        return 1.0f;
    return v;
}

// byte / 255 for every byte value, computed with the same single-precision
// division a per-pixel loop would do, so the table changes no result.
const std::array<float, 256>& unitTable()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> values{};
        for (int i = 0; i < 256; ++i)
            values[static_cast<size_t>(i)] = static_cast<float>(i) / 255.0f;
        return values;
    }();
    return table;
}

} // namespace

PoseLetterbox PoseLetterbox::forFrame(int cols, int rows)
{
    PoseLetterbox box;
    box.frameWidth = cols;
    box.frameHeight = rows;
    box.scale = std::min(static_cast<float>(kInputSize) / static_cast<float>(rows),
                         static_cast<float>(kInputSize) / static_cast<float>(cols));
    // std::lround rounds halves away from zero, as the input geometry wants.
    box.newWidth = static_cast<int>(std::lround(static_cast<float>(cols) * box.scale));
    box.newHeight = static_cast<int>(std::lround(static_cast<float>(rows) * box.scale));
    box.newWidth = std::clamp(box.newWidth, 1, kInputSize);
    box.newHeight = std::clamp(box.newHeight, 1, kInputSize);
    box.padX = (kInputSize - box.newWidth) / 2;
    box.padY = (kInputSize - box.newHeight) / 2;
    return box;
}

void PoseLetterbox::fillTensor(const cv::Mat& frame, float* tensor) const
{
    // The grey canvas and the copy of the resized frame into it are folded
    // into one pass over the tensor: the values are the same, and the
    // 1.2 MB canvas is neither allocated nor walked twice.
    cv::Mat resized = frame;
    if (frame.cols != newWidth || frame.rows != newHeight)
        cv::resize(frame, resized, cv::Size(newWidth, newHeight), 0.0, 0.0, cv::INTER_LINEAR);

    const std::array<float, 256>& unit = unitTable();
    const float pad = unit[kPadValue];
    float* planes[3] = {tensor, tensor + kPlaneSize, tensor + 2 * kPlaneSize};
    for (int y = 0; y < kInputSize; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * kInputSize;
        const int sourceRow = y - padY;
        if (sourceRow < 0 || sourceRow >= newHeight) {
            for (float* plane : planes)
                std::fill_n(plane + rowStart, kInputSize, pad);
            continue;
        }
        for (float* plane : planes) {
            std::fill_n(plane + rowStart, padX, pad);
            std::fill_n(plane + rowStart + padX + newWidth, kInputSize - padX - newWidth, pad);
        }
        const unsigned char* pixel = resized.ptr(sourceRow);
        float* red = planes[0] + rowStart + padX;
        float* green = planes[1] + rowStart + padX;
        float* blue = planes[2] + rowStart + padX;
        for (int x = 0; x < newWidth; ++x, pixel += 3) {
            blue[x] = unit[pixel[0]];
            green[x] = unit[pixel[1]];
            red[x] = unit[pixel[2]];
        }
    }
}

float PoseLetterbox::frameX(float inputX) const
{
    return clamp01((inputX - static_cast<float>(padX)) / scale / static_cast<float>(frameWidth));
}

bool PoseLetterbox::onFrame(float inputX, float inputY) const
{
    const float x = (inputX - static_cast<float>(padX)) / scale / static_cast<float>(frameWidth);
    const float y = (inputY - static_cast<float>(padY)) / scale / static_cast<float>(frameHeight);
    return x >= 0.0f && x <= 1.0f && y >= 0.0f && y <= 1.0f;
}

float PoseLetterbox::frameY(float inputY) const
{
    return clamp01((inputY - static_cast<float>(padY)) / scale / static_cast<float>(frameHeight));
}
