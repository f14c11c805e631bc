#include "vision/cv_drawing.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QPointF>
#include <QRect>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace cv {

namespace {

constexpr int kTextBaseSize = 22;
constexpr int kTextMinimumPixelSize = 8;
const char* const kTextFamily = "Sans Serif";

int saturate(double v)
{
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<int>(std::lround(v));
}

QColor scalarToQColor(const Scalar& s)
{
    return QColor(saturate(s.val[2]), saturate(s.val[1]), saturate(s.val[0]), 255);
}

// The image's own bytes as a Qt image: Qt reads and writes BGR in place
// (Format_BGR888), so nothing is converted or written back. Painting on it
// gives exactly the pixels that painting on an RGB copy of the frame and
// copying the result back would; the tests hold the two side by side.
QImage bgrSurface(Mat& img)
{
    return QImage(img.data, img.cols, img.rows, static_cast<qsizetype>(img.step), QImage::Format_BGR888);
}

bool fontSystemAvailable()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QPen shapePen(const QColor& color, int thickness)
{
    return QPen(QBrush(color), std::max(thickness, 1), Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

void setShapeAntialiasing(QPainter& painter, int lineType)
{
    painter.setRenderHint(QPainter::Antialiasing, lineType == LINE_AA);
}

} // namespace

// A painter kept open on the image's own memory. Every primitive starts
// from the painter's pristine state, so it paints exactly what a fresh
// painter would.
struct DrawingSession::Painter
{
    explicit Painter(Mat& img) : target(img), surface(bgrSurface(img))
    {
        if (surface.isNull() || !painter.begin(&surface))
            return;
        pristineHints = painter.renderHints();
        pristinePen = painter.pen();
        pristineBrush = painter.brush();
        pristineFont = painter.font();
        open = true;
    }

    bool paints(const Mat& img) const
    {
        return open && img.data == target.data && img.rows == target.rows && img.cols == target.cols &&
               img.step == target.step;
    }

    QPainter& fresh()
    {
        painter.setRenderHints(painter.renderHints(), false);
        painter.setRenderHints(pristineHints, true);
        painter.setPen(pristinePen);
        painter.setBrush(pristineBrush);
        painter.setFont(pristineFont);
        return painter;
    }

    void close()
    {
        if (open)
            painter.end();
        open = false;
    }

    Mat target;  // holds a share of the buffer the surface points into
    QImage surface;
    QPainter painter;
    QPainter::RenderHints pristineHints;
    QPen pristinePen;
    QBrush pristineBrush;
    QFont pristineFont;
    bool open = false;
    Painter* previous = nullptr;
};

namespace {

thread_local DrawingSession::Painter* t_activePainter = nullptr;

// Runs one primitive: through the open session painter when it paints this
// very image, else through a painter of its own on the image's memory.
template <typename Paint>
void drawOn(Mat& img, Paint paint)
{
    if (t_activePainter && t_activePainter->paints(img)) {
        paint(t_activePainter->fresh());
        return;
    }
    QImage surface = bgrSurface(img);
    if (surface.isNull())
        return;
    QPainter painter;
    if (!painter.begin(&surface))
        return;
    paint(painter);
}

} // namespace

DrawingSession::DrawingSession(Mat& img)
{
    if (img.empty())
        return;
    m_painter = std::make_unique<Painter>(img);
    if (!m_painter->open) {
        m_painter.reset();
        return;
    }
    m_painter->previous = t_activePainter;
    t_activePainter = m_painter.get();
}

DrawingSession::~DrawingSession()
{
    finish();
}

void DrawingSession::finish()
{
    if (!m_painter)
        return;
    // Sessions may end in any order: unlink this one wherever it sits in
    // the chain, so that no other session is left pointing at it.
    Painter* const ending = m_painter.get();
    if (t_activePainter == ending) {
        t_activePainter = ending->previous;
    } else {
        for (Painter* newer = t_activePainter; newer; newer = newer->previous) {
            if (newer->previous == ending) {
                newer->previous = ending->previous;
                break;
            }
        }
    }
    m_painter->close();
    m_painter.reset();
}

void line(Mat& img, const Point& p1, const Point& p2, const Scalar& color, int thickness, int lineType,
          int /*shift*/)
{
    if (img.empty())
        return;
    const QPen pen = shapePen(scalarToQColor(color), thickness);
    drawOn(img, [&](QPainter& painter) {
        setShapeAntialiasing(painter, lineType);
        painter.setPen(pen);
        painter.drawLine(QPoint(p1.x, p1.y), QPoint(p2.x, p2.y));
    });
}

void rectangle(Mat& img, const Rect& r, const Scalar& color, int thickness, int lineType, int /*shift*/)
{
    if (img.empty() || r.width <= 0 || r.height <= 0)
        return;
    // Cut to the image (plus a margin wider than the pen, so an outline edge
    // outside stays outside) in 64-bit arithmetic first: x + width of a box
    // near the int limits would otherwise wrap and fill a whole strip.
    const long long margin = thickness < 0 ? 0 : std::min(thickness, img.cols + img.rows) + 2LL;
    const long long left = std::max<long long>(r.x, -margin);
    const long long top = std::max<long long>(r.y, -margin);
    const long long right = std::min<long long>(static_cast<long long>(r.x) + r.width, img.cols + margin);
    const long long bottom = std::min<long long>(static_cast<long long>(r.y) + r.height, img.rows + margin);
    if (right <= left || bottom <= top)
        return;
    const QColor qcolor = scalarToQColor(color);
    drawOn(img, [&](QPainter& painter) {
        setShapeAntialiasing(painter, lineType);
        const QRect area(static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                         static_cast<int>(bottom - top));
        if (thickness < 0) {
            painter.fillRect(area, qcolor);
        } else {
            painter.setPen(shapePen(qcolor, thickness));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(area);
        }
    });
}

void circle(Mat& img, const Point& center, int radius, const Scalar& color, int thickness, int lineType,
            int /*shift*/)
{
    if (img.empty() || radius <= 0)
        return;
    const QColor qcolor = scalarToQColor(color);
    drawOn(img, [&](QPainter& painter) {
        setShapeAntialiasing(painter, lineType);
        if (thickness < 0) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QBrush(qcolor, Qt::SolidPattern));
        } else {
            painter.setPen(shapePen(qcolor, thickness));
            painter.setBrush(Qt::NoBrush);
        }
        // The integer square of the circle; 64-bit arithmetic so that an
        // absurd radius or centre cannot wrap, and a float rectangle only for
        // those, where no int square exists.
        const long long side = 2LL * radius;
        const long long left = static_cast<long long>(center.x) - radius;
        const long long top = static_cast<long long>(center.y) - radius;
        const long long limit = std::numeric_limits<int>::max();
        if (side <= limit && left >= -limit && top >= -limit && left + side <= limit && top + side <= limit)
            painter.drawEllipse(QRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(side),
                                      static_cast<int>(side)));
        else
            painter.drawEllipse(QRectF(static_cast<qreal>(left), static_cast<qreal>(top),
                                       static_cast<qreal>(side), static_cast<qreal>(side)));
    });
}

void putText(Mat& img, const std::string& text, const Point& org, int /*fontFace*/, double fontScale,
             const Scalar& color, int thickness, int lineType, bool /*bottomLeftOrigin*/)
{
    if (img.empty() || text.empty() || !fontSystemAvailable())
        return;
    const QColor qcolor = scalarToQColor(color);
    const QString utf16 = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const double scaled = std::round(kTextBaseSize * fontScale);
    // Clamp before converting: an absurd scale must not overflow the int.
    const int pixelSize =
        std::max(kTextMinimumPixelSize, static_cast<int>(std::min(std::max(scaled, 0.0), 4096.0)));
    drawOn(img, [&](QPainter& painter) {
        painter.setRenderHint(QPainter::TextAntialiasing, lineType == LINE_AA);
        QFont font(QString::fromLatin1(kTextFamily));
        font.setPixelSize(pixelSize);
        font.setWeight(thickness > 1 ? QFont::Bold : QFont::Normal);
        painter.setFont(font);
        painter.setPen(qcolor);
        painter.drawText(QPointF(org.x, org.y), utf16);
    });
}

} // namespace cv
