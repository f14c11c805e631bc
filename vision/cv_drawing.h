#pragma once

#include "vision/cv_core.h"

#include <memory>
#include <string>

// Drawing on BGR images with Qt's painter: lines, rectangles, circles and
// one line of text. lineType LINE_AA (16) antialiases; thickness FILLED (-1)
// fills rectangles and circles. fontFace, bottomLeftOrigin and shift are
// accepted for the familiar signatures and ignored.
namespace cv {

void line(Mat& img, const Point& p1, const Point& p2, const Scalar& color, int thickness = 1,
          int lineType = LINE_8, int shift = 0);
void rectangle(Mat& img, const Rect& r, const Scalar& color, int thickness = 1, int lineType = LINE_8,
               int shift = 0);
void circle(Mat& img, const Point& center, int radius, const Scalar& color, int thickness = 1,
            int lineType = LINE_8, int shift = 0);
// Text needs Qt's font system, that is a QGuiApplication; without one the
// call draws nothing.
void putText(Mat& img, const std::string& text, const Point& org, int fontFace, double fontScale,
             const Scalar& color, int thickness = 1, int lineType = LINE_8, bool bottomLeftOrigin = false);

// Every call paints straight into the image's memory with a painter of its
// own. A session keeps one painter open on `img` for as long as it lives,
// so that a burst of primitives (a skeleton overlay is up to 52) pays for
// one painter set-up instead of one each. While it lives, the four
// functions above draw on exactly this image (same pixels, same geometry)
// through the open painter, with the same pixels as without it; other
// images are drawn as usual. One session per thread is active at a time; a
// newer one takes over until it ends. The image must outlive the session
// and keep its buffer (no create()/release() on it meanwhile).
class DrawingSession
{
public:
    explicit DrawingSession(Mat& img);
    ~DrawingSession();

    DrawingSession(const DrawingSession&) = delete;
    DrawingSession& operator=(const DrawingSession&) = delete;

    // Closes the painter early; later calls draw one at a time again.
    void finish();

    // The open painter and the session it displaced; defined with the
    // drawing code.
    struct Painter;

private:
    std::unique_ptr<Painter> m_painter;
};

} // namespace cv
