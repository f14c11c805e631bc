#include "tests/vision/image_test_support.h"
#include "vision/cv_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

using vision_test::noiseImage;
using vision_test::pixel;

namespace {

bool samePixels(const cv::Mat& a, const cv::Mat& b)
{
    if (a.rows != b.rows || a.cols != b.cols)
        return false;
    for (int r = 0; r < a.rows; ++r)
        for (int c = 0; c < a.cols * 3; ++c)
            if (a.ptr(r)[c] != b.ptr(r)[c])
                return false;
    return true;
}

// The bilinear rule written out independently of the library: corner
// weights first, then the sum in the order the rule gives it.
unsigned char referenceBilinear(const cv::Mat& src, int outW, int outH, int x, int y, int ch)
{
    auto clampTo = [](long v, long hi) { return v < 0 ? 0 : (v > hi ? hi : v); };
    const double sy = (static_cast<double>(src.rows) / outH) * (y + 0.5) - 0.5;
    const double sx = (static_cast<double>(src.cols) / outW) * (x + 0.5) - 0.5;
    const long y0 = static_cast<long>(std::floor(sy));
    const long x0 = static_cast<long>(std::floor(sx));
    const double fy = sy - std::floor(sy);
    const double fx = sx - std::floor(sx);
    const long top = clampTo(y0, src.rows - 1), bottom = clampTo(y0 + 1, src.rows - 1);
    const long left = clampTo(x0, src.cols - 1), right = clampTo(x0 + 1, src.cols - 1);
    auto at = [&](long row, long col) { return static_cast<double>(src.ptr(static_cast<int>(row))[col * 3 + ch]); };
    const double v = (at(bottom, left) * (1 - fx) + at(bottom, right) * fx) * fy +
                     (at(top, right) * fx + at(top, left) * (1 - fx)) * (1 - fy);
    if (v <= 0)
        return 0;
    if (v >= 255)
        return 255;
    return static_cast<unsigned char>(std::floor(v + 0.5));
}

} // namespace

TEST(CvMat, ConstructionAndEmptiness)
{
    const cv::Mat zeroRows(0, 10, 16);
    EXPECT_TRUE(zeroRows.empty());
    EXPECT_EQ(zeroRows.rows, 0);
    EXPECT_EQ(zeroRows.cols, 0);
    EXPECT_EQ(zeroRows.data, nullptr);
    EXPECT_FALSE(zeroRows.storage);

    const cv::Mat black(480, 640, 16);
    ASSERT_FALSE(black.empty());
    EXPECT_EQ(black.step, 1920u);
    EXPECT_EQ(black.type, 16);
    for (int r = 0; r < black.rows; ++r)
        for (int c = 0; c < black.cols * 3; ++c)
            ASSERT_EQ(black.ptr(r)[c], 0);

    const cv::Mat filled(2, 2, 16, cv::Scalar(300, -5, 127.5));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            EXPECT_EQ(pixel(filled, x, y), (std::vector<unsigned char>{255, 0, 128}));
}

TEST(CvMat, AbsurdSizesGiveEmptyImagesInsteadOfWrappedAllocations)
{
    // (rows, cols): sides above the limit, and products whose byte count
    // wraps a 32-bit or even a 64-bit size.
    const std::vector<std::pair<int, int>> sizes = {
        {cv::kMaxImageSide + 1, 1}, {1, cv::kMaxImageSide + 1}, {65536, 65536},
        {2147483647, 2147483647}, {2147483647, 3}, {-1, 100}};
    for (const auto& [rows, cols] : sizes) {
        cv::Mat m(rows, cols, 7);
        EXPECT_TRUE(m.empty()) << rows << "x" << cols;
        EXPECT_EQ(m.rows, 0);
        EXPECT_EQ(m.cols, 0);
        EXPECT_EQ(m.type, 7);
        EXPECT_EQ(m.data, nullptr);
        cv::Mat other(4, 4, 16);
        other.create(rows, cols, 16);
        EXPECT_TRUE(other.empty());
        EXPECT_FALSE(other.storage);
    }
    const cv::Mat largest(cv::kMaxImageSide, 1, 16);
    EXPECT_FALSE(largest.empty());

    cv::Mat dst(2, 2, 16);
    cv::resize(cv::Mat(2, 2, 16), dst, cv::Size(), 1e9, 1e9, cv::INTER_LINEAR);
    EXPECT_TRUE(dst.empty());
    cv::resize(cv::Mat(2, 2, 16), dst, cv::Size(cv::kMaxImageSide + 1, 2), 0, 0, cv::INTER_NEAREST);
    EXPECT_TRUE(dst.empty());
}

TEST(CvMat, CopiesShareAndClonesOwn)
{
    cv::Mat a(3, 4, 16, cv::Scalar(1, 2, 3));
    cv::Mat shared = a;
    EXPECT_EQ(shared.data, a.data);
    EXPECT_EQ(a.storage.use_count(), 2);
    cv::Mat own = a.clone();
    EXPECT_NE(own.data, a.data);
    a.data[0] = 99;
    EXPECT_EQ(shared.data[0], 99);
    EXPECT_EQ(own.data[0], 1);

    cv::Mat moved = std::move(shared);
    EXPECT_TRUE(shared.empty());
    EXPECT_EQ(shared.type, 16);
    EXPECT_EQ(moved.data, a.data);

    // create() always gives a fresh buffer; the old sharers keep the old one.
    cv::Mat keeper = a;
    a.create(3, 4, 16);
    EXPECT_NE(a.data, keeper.data);
    EXPECT_EQ(keeper.data[0], 99);
    EXPECT_EQ(a.data[0], 0);
}

TEST(CvMat, RegionViewsClampAndWriteThrough)
{
    cv::Mat parent(480, 640, 16);
    struct Case
    {
        cv::Rect rect;
        int rows, cols;
        std::size_t offset;
    };
    const std::vector<Case> cases = {
        {cv::Rect(10, 20, 100, 50), 50, 100, 20 * 1920 + 30},
        {cv::Rect(600, 0, 100, 10), 10, 40, 1800},
        {cv::Rect(-5, 0, 10, 10), 10, 10, 0},
        {cv::Rect(0, 470, 5, 100), 10, 5, 470 * 1920},
        {cv::Rect(640, 0, 10, 10), 0, 0, 0},
        {cv::Rect(0, 0, 0, 10), 0, 0, 0},
        {cv::Rect(0, 0, -3, 10), 0, 0, 0},
    };
    for (const Case& c : cases) {
        const cv::Mat view = parent(c.rect);
        EXPECT_EQ(view.rows, c.rows);
        EXPECT_EQ(view.cols, c.cols);
        if (c.rows == 0) {
            EXPECT_TRUE(view.empty());
            continue;
        }
        EXPECT_EQ(view.step, 1920u);
        EXPECT_EQ(view.data, parent.data + c.offset);
    }

    const cv::Mat patch(50, 100, 16, cv::Scalar(7, 8, 9));
    patch.copyTo(parent(cv::Rect(10, 20, 100, 50)));
    EXPECT_EQ(pixel(parent, 10, 20), (std::vector<unsigned char>{7, 8, 9}));
    EXPECT_EQ(pixel(parent, 109, 69), (std::vector<unsigned char>{7, 8, 9}));
    EXPECT_EQ(pixel(parent, 110, 69), (std::vector<unsigned char>{0, 0, 0}));
    EXPECT_EQ(pixel(parent, 9, 20), (std::vector<unsigned char>{0, 0, 0}));

    // A view clones into a compact image of its own.
    const cv::Mat compact = parent(cv::Rect(10, 20, 100, 50)).clone();
    EXPECT_EQ(compact.step, 300u);
    EXPECT_TRUE(samePixels(compact, patch));
}

TEST(CvMat, CopyToOtherSizeReplacesBufferAndLeavesSharersAlone)
{
    const cv::Mat src(2, 3, 16, cv::Scalar(5, 6, 7));
    cv::Mat dst(4, 4, 16, cv::Scalar(1, 1, 1));
    const cv::Mat sharer = dst;
    src.copyTo(dst);
    EXPECT_EQ(dst.rows, 2);
    EXPECT_EQ(dst.cols, 3);
    EXPECT_NE(dst.data, sharer.data);
    EXPECT_EQ(pixel(sharer, 0, 0), (std::vector<unsigned char>{1, 1, 1}));
    EXPECT_TRUE(samePixels(dst, src));

    cv::Mat empty;
    empty.copyTo(dst);
    EXPECT_TRUE(dst.empty());
    EXPECT_EQ(dst.type, 16);
}

TEST(CvOps, CvtColorSwapsFirstAndThirdByte)
{
    for (int code : {4, 0, 99}) {
        cv::Mat m(1, 1, 16, cv::Scalar(10, 20, 30));
        const cv::Mat before = m;
        cv::cvtColor(m, m, code);
        EXPECT_EQ(pixel(m, 0, 0), (std::vector<unsigned char>{30, 20, 10}));
        // The destination got a new buffer; the old sharer is untouched.
        EXPECT_EQ(pixel(before, 0, 0), (std::vector<unsigned char>{10, 20, 30}));
    }
    cv::Mat dst(2, 2, 16);
    cv::cvtColor(cv::Mat(), dst, 4);
    EXPECT_TRUE(dst.empty());
}

TEST(CvOps, FlipMirrorsInEveryModeAndInPlace)
{
    const cv::Mat src = noiseImage(5, 7, 1);
    for (int code : {1, 0, -1}) {
        cv::Mat out;
        cv::flip(src, out, code);
        ASSERT_EQ(out.rows, 5);
        ASSERT_EQ(out.cols, 7);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                const int sx = code != 0 ? 6 - x : x;
                const int sy = code <= 0 ? 4 - y : y;
                ASSERT_EQ(pixel(out, x, y), pixel(src, sx, sy)) << code;
            }
        cv::Mat inPlace = src.clone();
        cv::flip(inPlace, inPlace, code);
        EXPECT_TRUE(samePixels(inPlace, out)) << code;
        cv::flip(inPlace, inPlace, code);
        EXPECT_TRUE(samePixels(inPlace, src)) << code;
    }
    // A destination overlapping the source (a view into the same buffer).
    cv::Mat parent = noiseImage(4, 8, 2);
    const cv::Mat expectedSource = parent(cv::Rect(0, 0, 6, 4)).clone();
    cv::Mat view = parent(cv::Rect(2, 0, 6, 4));
    cv::flip(parent(cv::Rect(0, 0, 6, 4)), view, 1);
    cv::Mat expected;
    cv::flip(expectedSource, expected, 1);
    EXPECT_TRUE(samePixels(parent(cv::Rect(2, 0, 6, 4)), expected));
    // An odd width keeps the middle column where it is.
    cv::Mat odd = noiseImage(1, 3, 3);
    const cv::Mat oddCopy = odd.clone();
    cv::flip(odd, odd, 1);
    EXPECT_EQ(pixel(odd, 1, 0), pixel(oddCopy, 1, 0));
}

TEST(CvResize, BilinearMatchesHandComputedValues)
{
    struct Case
    {
        std::vector<unsigned char> sourceRow;  // one channel value per pixel, 1 row
        int outW;
        std::vector<unsigned char> expected;
    };
    const std::vector<Case> cases = {
        // 0.25 and 0.75 weights: 63.75 and 191.25.
        {{0, 255}, 4, {0, 64, 191, 255}},
        // Halves round away from zero: 0.5, 1.5, 2.5.
        {{0, 1}, 1, {1}},
        {{0, 3}, 1, {2}},
        {{0, 5}, 1, {3}},
        // Ratio 3:7 (weights that are not binary fractions):
        // s = 3/7 (x + 0.5) - 0.5; x = 1: 10 * 6/7 + 200 * 1/7 = 37.14,
        // x = 2: 10 * 3/7 + 200 * 4/7 = 118.57, x = 3 lands on 200 exactly.
        {{10, 200, 40}, 7, {10, 37, 119, 200, 131, 63, 40}},
    };
    for (const Case& c : cases) {
        const int w = static_cast<int>(c.sourceRow.size());
        cv::Mat src(1, w, 16);
        for (int x = 0; x < w; ++x)
            for (int ch = 0; ch < 3; ++ch)
                src.ptr(0)[x * 3 + ch] = c.sourceRow[x];
        cv::Mat out;
        cv::resize(src, out, cv::Size(c.outW, 1), 0, 0, cv::INTER_LINEAR);
        ASSERT_EQ(out.cols, c.outW);
        for (int x = 0; x < c.outW; ++x)
            EXPECT_EQ(out.ptr(0)[x * 3 + 1], c.expected[x]) << "w " << w << " x " << x;
    }

    cv::Mat one(1, 1, 16, cv::Scalar(9, 8, 7));
    cv::Mat nine;
    cv::resize(one, nine, cv::Size(3, 3), 0, 0, 1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(pixel(nine, x, y), (std::vector<unsigned char>{9, 8, 7}));

    // 2x2 to 1x1: the mean of four pixels, (10+20+30+41)/4 = 25.25.
    cv::Mat quad(2, 2, 16);
    const unsigned char values[4] = {10, 20, 30, 41};
    for (int i = 0; i < 4; ++i)
        quad.ptr(i / 2)[(i % 2) * 3] = values[i];
    cv::Mat mean;
    cv::resize(quad, mean, cv::Size(1, 1));
    EXPECT_EQ(mean.data[0], 25);
}

TEST(CvResize, BilinearMatchesReferenceOverManyRatios)
{
    // Ratios that take the exact integer route (1:1, 2:1, 3:2, 4:3 ...) and
    // ratios that do not (3:7, 5:3, odd letterbox sizes), up and down.
    const std::vector<std::tuple<int, int, int, int>> geometries = {
        {64, 48, 32, 24},  {64, 48, 128, 96}, {60, 40, 40, 30},  {64, 48, 48, 36},
        {21, 9, 49, 21},   {50, 30, 30, 18},  {64, 48, 64, 48},  {37, 23, 64, 41},
        {64, 48, 640, 2},  {3, 200, 1, 7},    {128, 72, 64, 36}, {90, 60, 64, 64},
    };
    for (const auto& [w, h, outW, outH] : geometries) {
        const cv::Mat src = noiseImage(h, w, static_cast<unsigned>(w * 1000 + outW));
        cv::Mat out;
        cv::resize(src, out, cv::Size(outW, outH), 0, 0, cv::INTER_LINEAR);
        ASSERT_EQ(out.cols, outW);
        ASSERT_EQ(out.rows, outH);
        int mismatches = 0;
        for (int y = 0; y < outH; ++y)
            for (int x = 0; x < outW; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    if (out.ptr(y)[x * 3 + ch] != referenceBilinear(src, outW, outH, x, y, ch))
                        ++mismatches;
        EXPECT_EQ(mismatches, 0) << w << "x" << h << " -> " << outW << "x" << outH;
    }
    // A region view with a wide parent step resizes as its own pixels.
    const cv::Mat parent = noiseImage(40, 80, 5);
    cv::Mat viewOut, cloneOut;
    cv::resize(parent(cv::Rect(7, 3, 30, 20)), viewOut, cv::Size(17, 11));
    cv::resize(parent(cv::Rect(7, 3, 30, 20)).clone(), cloneOut, cv::Size(17, 11));
    EXPECT_TRUE(samePixels(viewOut, cloneOut));
}

TEST(CvResize, NearestAndSizeRules)
{
    const cv::Mat src = noiseImage(3, 5, 9);
    cv::Mat out;
    cv::resize(src, out, cv::Size(7, 2), 0, 0, cv::INTER_NEAREST);
    ASSERT_EQ(out.cols, 7);
    ASSERT_EQ(out.rows, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(pixel(out, x, y), pixel(src, x * 5 / 7, y * 3 / 2));

    // Scale factors round halves away from zero: 5 * 0.5 = 2.5 -> 3.
    cv::resize(src, out, cv::Size(), 0.5, 0.5, cv::INTER_NEAREST);
    EXPECT_EQ(out.cols, 3);
    EXPECT_EQ(out.rows, 2);

    out = src.clone();
    cv::resize(src, out, cv::Size(0, 0), 0, 0, cv::INTER_LINEAR);
    EXPECT_TRUE(out.empty());
    out = src.clone();
    cv::resize(cv::Mat(), out, cv::Size(4, 4));
    EXPECT_TRUE(out.empty());
}
