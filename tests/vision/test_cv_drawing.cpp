#include "tests/vision/image_test_support.h"
#include "vision/cv_drawing.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPen>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

using vision_test::noiseImage;
using vision_test::pixel;

namespace {

// Text drawing needs Qt's font system; every test in this executable shares
// one application object. Painting on images needs no display, so the
// offscreen platform is used unless another is asked for: one display
// connection per test process is one more thing that can fail on a busy
// machine.
class GuiApplicationEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_vision";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QGuiApplication>(argc, argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    std::unique_ptr<QGuiApplication> m_app;
};

const auto* const g_guiEnvironment = ::testing::AddGlobalTestEnvironment(new GuiApplicationEnvironment);

int differingPixels(const cv::Mat& a, const cv::Mat& b)
{
    int count = 0;
    for (int y = 0; y < a.rows; ++y)
        for (int x = 0; x < a.cols; ++x)
            if (pixel(a, x, y) != pixel(b, x, y))
                ++count;
    return count;
}

using Primitive = std::function<void(cv::Mat&)>;

struct Shape
{
    enum Kind
    {
        Line,
        Disc,
        Ring,
        Box,
        FilledBox,
        Text,
    };
    Kind kind = Line;
    cv::Point a, b;  // Box, FilledBox: b is (width, height)
    int radius = 0;
    cv::Scalar color;
    int thickness = 1;
    int lineType = cv::LINE_8;
    double scale = 1.0;
};

const char* const kLabel = "person 0.87 \xc3\xa9";

void drawWithLibrary(cv::Mat& m, const Shape& s)
{
    switch (s.kind) {
    case Shape::Line:
        cv::line(m, s.a, s.b, s.color, s.thickness, s.lineType);
        break;
    case Shape::Disc:
        cv::circle(m, s.a, s.radius, s.color, cv::FILLED, s.lineType);
        break;
    case Shape::Ring:
        cv::circle(m, s.a, s.radius, s.color, s.thickness, s.lineType);
        break;
    case Shape::Box:
        cv::rectangle(m, cv::Rect(s.a.x, s.a.y, s.b.x, s.b.y), s.color, s.thickness, s.lineType);
        break;
    case Shape::FilledBox:
        cv::rectangle(m, cv::Rect(s.a.x, s.a.y, s.b.x, s.b.y), s.color, cv::FILLED, s.lineType);
        break;
    case Shape::Text:
        cv::putText(m, kLabel, s.a, cv::FONT_HERSHEY_SIMPLEX, s.scale, s.color, s.thickness, s.lineType);
        break;
    }
}

int byte(double v)
{
    return v <= 0 ? 0 : (v >= 255 ? 255 : static_cast<int>(std::lround(v)));
}

// The drawing rules written out plainly: the whole frame copied into an
// RGB Qt image, one fresh painter, the primitive, the frame copied back.
void drawOnRgbCopy(cv::Mat& m, const Shape& s)
{
    QImage rgb(m.cols, m.rows, QImage::Format_RGB888);
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x) {
            const unsigned char* p = m.ptr(y) + x * 3;
            rgb.setPixelColor(x, y, QColor(p[2], p[1], p[0]));
        }
    {
        QPainter painter(&rgb);
        const QColor color(byte(s.color.val[2]), byte(s.color.val[1]), byte(s.color.val[0]));
        const QPen pen(QBrush(color), std::max(s.thickness, 1), Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
        const bool smooth = s.lineType == cv::LINE_AA;
        const QRect square(s.a.x - s.radius, s.a.y - s.radius, 2 * s.radius, 2 * s.radius);
        switch (s.kind) {
        case Shape::Line:
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            painter.setPen(pen);
            painter.drawLine(QPoint(s.a.x, s.a.y), QPoint(s.b.x, s.b.y));
            break;
        case Shape::Disc:
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QBrush(color, Qt::SolidPattern));
            painter.drawEllipse(square);
            break;
        case Shape::Ring:
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            painter.setPen(pen);
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(square);
            break;
        case Shape::Box:
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            painter.setPen(pen);
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRect(s.a.x, s.a.y, s.b.x, s.b.y));
            break;
        case Shape::FilledBox:
            painter.setRenderHint(QPainter::Antialiasing, smooth);
            painter.fillRect(QRect(s.a.x, s.a.y, s.b.x, s.b.y), color);
            break;
        case Shape::Text: {
            painter.setRenderHint(QPainter::TextAntialiasing, smooth);
            QFont font(QStringLiteral("Sans Serif"));
            font.setPixelSize(std::max(8, static_cast<int>(std::round(22 * s.scale))));
            font.setWeight(s.thickness > 1 ? QFont::Bold : QFont::Normal);
            painter.setFont(font);
            painter.setPen(color);
            painter.drawText(QPointF(s.a.x, s.a.y), QString::fromUtf8(kLabel));
            break;
        }
        }
    }
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x) {
            const QColor c = rgb.pixelColor(x, y);
            unsigned char* p = m.ptr(y) + x * 3;
            p[0] = static_cast<unsigned char>(c.blue());
            p[1] = static_cast<unsigned char>(c.green());
            p[2] = static_cast<unsigned char>(c.red());
        }
}

// A skeleton-like overlay: 52 primitives of every kind, with and without
// antialiasing, outlines and fills, text in two weights, partly off-image.
std::vector<Shape> overlayShapes(int width, int height)
{
    std::vector<Shape> list;
    std::mt19937 rng(42);
    auto coordinate = [&](int limit) { return static_cast<int>(rng() % (limit + 40)) - 20; };
    const Shape::Kind kinds[] = {Shape::Line, Shape::Line, Shape::Disc, Shape::Ring, Shape::Box, Shape::Text};
    for (int i = 0; i < 52; ++i) {
        Shape s;
        s.kind = kinds[i % 6];
        if (s.kind == Shape::Box && i % 4 == 0)
            s.kind = Shape::FilledBox;
        s.color = cv::Scalar(rng() % 256, rng() % 256, rng() % 256);
        s.lineType = i % 2 ? cv::LINE_AA : cv::LINE_8;
        s.a = cv::Point(coordinate(width), coordinate(height));
        s.b = s.kind == Shape::Box || s.kind == Shape::FilledBox ? cv::Point(30, 20)
                                                                  : cv::Point(coordinate(width), coordinate(height));
        s.thickness = static_cast<int>(rng() % 4) + 1;
        s.radius = s.kind == Shape::Ring ? 7 : 2 + s.thickness;
        s.scale = i % 3 ? 0.6 : 0.3;
        if (s.kind == Shape::Text)
            s.thickness = i % 4 == 1 ? 2 : 1;
        list.push_back(s);
    }
    return list;
}

} // namespace

TEST(CvDrawing, PrimitivesPaintTheExpectedPixelsInBgrOrder)
{
    const cv::Scalar red(0, 0, 255);
    const std::vector<unsigned char> redBytes{0, 0, 255};
    const std::vector<unsigned char> black{0, 0, 0};

    cv::Mat m(20, 20, 16);
    cv::line(m, cv::Point(2, 5), cv::Point(12, 5), red, 1, cv::LINE_8);
    for (int x = 2; x <= 12; ++x)
        EXPECT_EQ(pixel(m, x, 5), redBytes) << x;
    EXPECT_EQ(pixel(m, 7, 4), black);
    EXPECT_EQ(pixel(m, 7, 6), black);

    m = cv::Mat(20, 20, 16);
    cv::rectangle(m, cv::Rect(3, 4, 5, 6), cv::Scalar(10, 20, 30), cv::FILLED);
    int inside = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool in = x >= 3 && x < 8 && y >= 4 && y < 10;
            const std::vector<unsigned char> expected = in ? std::vector<unsigned char>{10, 20, 30} : black;
            EXPECT_EQ(pixel(m, x, y), expected) << x << "," << y;
            inside += in;
        }
    EXPECT_EQ(inside, 30);

    m = cv::Mat(20, 20, 16);
    cv::rectangle(m, cv::Rect(3, 4, 10, 10), red, 1);
    EXPECT_EQ(pixel(m, 3, 4), redBytes);
    EXPECT_EQ(pixel(m, 8, 8), black);  // outline only

    m = cv::Mat(40, 40, 16);
    cv::circle(m, cv::Point(20, 20), 8, red, cv::FILLED, cv::LINE_8);
    EXPECT_EQ(pixel(m, 20, 20), redBytes);
    EXPECT_EQ(pixel(m, 20, 14), redBytes);
    EXPECT_EQ(pixel(m, 13, 13), black);  // outside the disc, inside its square
    cv::Mat ring(40, 40, 16);
    cv::circle(ring, cv::Point(20, 20), 8, red, 1, cv::LINE_8);
    EXPECT_EQ(pixel(ring, 20, 20), black);
    EXPECT_GT(differingPixels(ring, cv::Mat(40, 40, 16)), 20);
}

TEST(CvDrawing, DegenerateCallsChangeNothing)
{
    const cv::Mat original = noiseImage(30, 30, 3);
    const std::vector<Primitive> noOps = {
        [](cv::Mat& m) { cv::circle(m, cv::Point(10, 10), 0, cv::Scalar(255, 255, 255), -1); },
        [](cv::Mat& m) { cv::circle(m, cv::Point(10, 10), -4, cv::Scalar(255, 255, 255), 2); },
        [](cv::Mat& m) { cv::rectangle(m, cv::Rect(1, 1, 0, 10), cv::Scalar(255, 255, 255), -1); },
        [](cv::Mat& m) { cv::rectangle(m, cv::Rect(1, 1, 10, -1), cv::Scalar(255, 255, 255), 1); },
        // Far right of the image: x + width would wrap past the int range.
        [](cv::Mat& m) { cv::rectangle(m, cv::Rect(INT_MAX - 10, 5, 100, 10), cv::Scalar(255, 255, 255), -1); },
        [](cv::Mat& m) { cv::rectangle(m, cv::Rect(5, INT_MAX - 10, 10, 100), cv::Scalar(255, 255, 255), 3); },
        [](cv::Mat& m) { cv::putText(m, "", cv::Point(5, 20), 0, 1.0, cv::Scalar(255, 255, 255), 1); },
    };
    for (std::size_t i = 0; i < noOps.size(); ++i) {
        cv::Mat m = original.clone();
        noOps[i](m);
        EXPECT_EQ(differingPixels(m, original), 0) << i;
        cv::Mat empty;
        noOps[i](empty);
        EXPECT_TRUE(empty.empty());
    }
    cv::Mat empty;
    cv::line(empty, cv::Point(0, 0), cv::Point(5, 5), cv::Scalar(1, 1, 1));
    cv::putText(empty, "text", cv::Point(0, 10), 0, 1.0, cv::Scalar(1, 1, 1));
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.data, nullptr);

    // Absurd geometry is clipped, not a crash.
    cv::Mat m = original.clone();
    cv::circle(m, cv::Point(2147483000, -2147483000), 2147483647, cv::Scalar(1, 2, 3), -1);
    cv::line(m, cv::Point(-2147483647, 0), cv::Point(2147483647, 29), cv::Scalar(1, 2, 3), 3);
    cv::putText(m, "x", cv::Point(0, 20), 0, 1e12, cv::Scalar(1, 2, 3), 1);
}

TEST(CvDrawing, TextSizeHasAFloorOfEightPixelsAndBoldDiffers)
{
    auto draw = [](double scale, int thickness) {
        cv::Mat m(40, 200, 16);
        cv::putText(m, "Kestro 42", cv::Point(4, 30), cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255),
                    thickness, cv::LINE_8);
        return m;
    };
    const cv::Mat tiny = draw(0.2, 1);     // round(4.4) -> 8
    const cv::Mat floor = draw(0.35, 1);   // round(7.7) = 8
    const cv::Mat larger = draw(0.5, 1);   // 11 pixels
    EXPECT_GT(differingPixels(tiny, cv::Mat(40, 200, 16)), 10);
    EXPECT_EQ(differingPixels(tiny, floor), 0);
    EXPECT_GT(differingPixels(tiny, larger), 0);
    EXPECT_GT(differingPixels(draw(0.8, 2), draw(0.8, 1)), 0);

    // The baseline sits at org.y: nothing is painted far below it.
    for (int y = 34; y < 40; ++y)
        for (int x = 0; x < 200; ++x)
            ASSERT_EQ(pixel(larger, x, y), (std::vector<unsigned char>{0, 0, 0})) << x << "," << y;
}

TEST(CvDrawing, DrawingOnARegionViewWritesIntoTheParent)
{
    cv::Mat parent(50, 60, 16);
    cv::Mat view = parent(cv::Rect(10, 20, 30, 20));
    cv::rectangle(view, cv::Rect(0, 0, 5, 5), cv::Scalar(1, 2, 3), cv::FILLED);
    EXPECT_EQ(pixel(parent, 10, 20), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(pixel(parent, 14, 24), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(pixel(parent, 9, 20), (std::vector<unsigned char>{0, 0, 0}));
    EXPECT_EQ(view.data, parent.data + 20 * 180 + 30);
}

TEST(CvDrawing, CallsAndSessionsGiveThePixelsOfPaintingAnRgbCopy)
{
    struct Case
    {
        int width, height;
        cv::Rect view;  // empty: the whole image
    };
    const std::vector<Case> cases = {{320, 240, {}}, {97, 61, {}}, {200, 150, cv::Rect(13, 7, 151, 111)}};
    for (const Case& c : cases) {
        const cv::Mat background = noiseImage(c.height, c.width, 11);
        cv::Mat reference = background.clone();
        cv::Mat oneByOne = background.clone();
        cv::Mat batched = background.clone();
        auto target = [&](cv::Mat& m) { return c.view.width > 0 ? m(c.view) : m; };
        cv::Mat referenceTarget = target(reference);
        cv::Mat oneTarget = target(oneByOne);
        cv::Mat batchTarget = target(batched);
        const auto shapes = overlayShapes(oneTarget.cols, oneTarget.rows);
        for (const Shape& shape : shapes) {
            drawOnRgbCopy(referenceTarget, shape);
            drawWithLibrary(oneTarget, shape);
        }
        {
            cv::DrawingSession session(batchTarget);
            for (const Shape& shape : shapes)
                drawWithLibrary(batchTarget, shape);
        }
        EXPECT_GT(differingPixels(reference, background), 100);
        EXPECT_EQ(differingPixels(oneByOne, reference), 0) << c.width << "x" << c.height;
        EXPECT_EQ(differingPixels(batched, reference), 0) << c.width << "x" << c.height;
    }
}

TEST(CvDrawing, SessionLeavesOtherImagesToTheOrdinaryPath)
{
    cv::Mat frame(60, 80, 16);
    cv::Mat other(60, 80, 16);
    cv::Mat expectedOther(60, 80, 16);
    cv::line(expectedOther, cv::Point(0, 0), cv::Point(79, 59), cv::Scalar(9, 9, 9), 2, cv::LINE_AA);
    {
        cv::DrawingSession session(frame);
        cv::circle(frame, cv::Point(40, 30), 10, cv::Scalar(0, 255, 0), -1);
        // Pixels are in the frame right away, not only when the session ends.
        EXPECT_EQ(pixel(frame, 40, 30), (std::vector<unsigned char>{0, 255, 0}));
        cv::line(other, cv::Point(0, 0), cv::Point(79, 59), cv::Scalar(9, 9, 9), 2, cv::LINE_AA);
        {
            cv::DrawingSession inner(other);
            cv::rectangle(frame, cv::Rect(0, 0, 4, 4), cv::Scalar(5, 5, 5), -1);
        }
        session.finish();
        cv::rectangle(frame, cv::Rect(70, 50, 4, 4), cv::Scalar(6, 6, 6), -1);
    }
    EXPECT_EQ(differingPixels(other, expectedOther), 0);
    EXPECT_EQ(pixel(frame, 1, 1), (std::vector<unsigned char>{5, 5, 5}));
    EXPECT_EQ(pixel(frame, 71, 51), (std::vector<unsigned char>{6, 6, 6}));

    // Sessions ending out of order leave nothing dangling.
    cv::Mat first(10, 10, 16);
    cv::Mat second(10, 10, 16);
    {
        auto outer = std::make_unique<cv::DrawingSession>(first);
        cv::DrawingSession inner(second);
        outer.reset();
        cv::rectangle(first, cv::Rect(0, 0, 2, 2), cv::Scalar(7, 7, 7), -1);
    }
    cv::rectangle(first, cv::Rect(5, 5, 2, 2), cv::Scalar(8, 8, 8), -1);
    EXPECT_EQ(pixel(first, 0, 0), (std::vector<unsigned char>{7, 7, 7}));
    EXPECT_EQ(pixel(first, 5, 5), (std::vector<unsigned char>{8, 8, 8}));

    cv::Mat empty;
    cv::DrawingSession onEmpty(empty);
    cv::line(empty, cv::Point(0, 0), cv::Point(3, 3), cv::Scalar(1, 1, 1));
    EXPECT_TRUE(empty.empty());
}
