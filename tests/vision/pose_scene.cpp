#include "tests/vision/pose_scene.h"

#include <QColor>
#include <QPainter>

namespace vision_test {

cv::Mat bgrFromImage(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_RGB888);
    cv::Mat frame;
    if (image.isNull())
        return frame;
    frame.create(image.height(), image.width(), cv::CV_8UC3);
    for (int y = 0; y < image.height(); ++y) {
        const uchar* rgb = image.constScanLine(y);
        unsigned char* bgr = frame.ptr(y);
        for (int x = 0; x < image.width(); ++x) {
            bgr[3 * x] = rgb[3 * x + 2];
            bgr[3 * x + 1] = rgb[3 * x + 1];
            bgr[3 * x + 2] = rgb[3 * x];
        }
    }
    return frame;
}

cv::Mat photographScene(int width, int height, std::initializer_list<ScenePicture> pictures)
{
    QImage canvas(width, height, QImage::Format_RGB888);
    canvas.fill(QColor(114, 114, 114));
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const ScenePicture& p : pictures) {
        painter.fillRect(p.where, QColor(128, 128, 128));
        painter.setOpacity(p.contrast);
        painter.drawImage(p.where, QImage(QStringLiteral(KESTRO_SOURCE_DIR "/tests/vision/data/") + p.image));
        painter.setOpacity(1.0);
    }
    painter.end();
    return bgrFromImage(canvas);
}

} // namespace vision_test
