#pragma once

#include "vision/cv_core.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <initializer_list>

namespace vision_test {

// A picture of the tests' data folder (tests/vision/data) placed on a scene.
struct ScenePicture
{
    QString image;   // file name in the data folder
    QRect where;     // scaled into this rectangle
    // How much of its contrast it keeps (1 = all; less blends it towards mid
    // grey, which the person detector finds less sure).
    double contrast = 1.0;
};

// A Qt image as an 8-bit BGR frame; empty for a null image.
cv::Mat bgrFromImage(const QImage& picture);

// Photographs on a width x height frame of the network's padding grey: the
// scenes of the pose tests and benchmarks (people side by side, at several
// sizes, or gone).
cv::Mat photographScene(int width, int height, std::initializer_list<ScenePicture> pictures);

} // namespace vision_test
