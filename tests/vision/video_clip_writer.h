#pragma once

#include "vision/cv_core.h"

#include <string>
#include <vector>

namespace vision_test {

// Encodes BGR frames into a video file with FFmpeg's libraries: `codec` by
// FFmpeg's encoder name ("mpeg4", "mjpeg"), the container chosen by the
// file name's extension, `fps` frames a second. False with `error` set when
// any step fails. Test inputs are made with this, never shipped.
bool writeVideoClip(const std::string& path, const std::vector<cv::Mat>& frames, int fps, const char* codec,
                    std::string& error);

// The photograph at `path` (any format Qt reads) as a BGR image of exactly
// width x height; empty when it cannot be read.
cv::Mat loadPhotograph(const std::string& path, int width, int height);

// Frame numbers carried in the picture itself: a flat grey block in the
// top-left corner whose level encodes `index`, coarse enough to survive
// lossy encoding, for indices 0 to 14. markedFrameIndex gives -1 for an
// unmarked picture.
void markFrameIndex(cv::Mat& frame, int index);
int markedFrameIndex(const cv::Mat& frame);

} // namespace vision_test
