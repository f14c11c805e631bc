#include "vision/cv_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace cv {

namespace {

unsigned char saturateToByte(double v)
{
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<unsigned char>(std::lround(v));
}

bool sidesAreAllocatable(int rowCount, int colCount)
{
    return rowCount > 0 && colCount > 0 && rowCount <= kMaxImageSide && colCount <= kMaxImageSide;
}

std::size_t rowBytes(const Mat& m)
{
    return static_cast<std::size_t>(m.cols) * 3u;
}

// True when the byte ranges the two images cover overlap, so that writing
// one while reading the other needs an intermediate copy.
bool pixelsOverlap(const Mat& a, const Mat& b)
{
    if (a.empty() || b.empty())
        return false;
    const unsigned char* aEnd = a.data + static_cast<std::size_t>(a.rows - 1) * a.step + rowBytes(a);
    const unsigned char* bEnd = b.data + static_cast<std::size_t>(b.rows - 1) * b.step + rowBytes(b);
    return a.data < bEnd && b.data < aEnd;
}

int roundHalfAwayFromZero(double v)
{
    return static_cast<int>(std::lround(v));
}

} // namespace

Mat::Mat(int rowCount, int colCount, int typeCode)
{
    create(rowCount, colCount, typeCode);
}

Mat::Mat(int rowCount, int colCount, int typeCode, const Scalar& fill) : Mat(rowCount, colCount, typeCode)
{
    if (empty())
        return;
    const unsigned char pixel[3] = {saturateToByte(fill.val[0]), saturateToByte(fill.val[1]),
                                    saturateToByte(fill.val[2])};
    unsigned char* p = data;
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (std::size_t i = 0; i < count; ++i, p += 3) {
        p[0] = pixel[0];
        p[1] = pixel[1];
        p[2] = pixel[2];
    }
}

Mat::Mat(Mat&& other) noexcept
    : rows(other.rows), cols(other.cols), type(other.type), step(other.step), data(other.data),
      storage(std::move(other.storage))
{
    other.rows = 0;
    other.cols = 0;
    other.type = CV_8UC3;
    other.step = 0;
    other.data = nullptr;
    other.storage.reset();
}

Mat& Mat::operator=(Mat&& other) noexcept
{
    if (this == &other)
        return *this;
    rows = other.rows;
    cols = other.cols;
    type = other.type;
    step = other.step;
    data = other.data;
    storage = std::move(other.storage);
    other.rows = 0;
    other.cols = 0;
    other.type = CV_8UC3;
    other.step = 0;
    other.data = nullptr;
    other.storage.reset();
    return *this;
}

void Mat::create(int rowCount, int colCount, int typeCode)
{
    std::shared_ptr<std::vector<unsigned char>> fresh;
    if (sidesAreAllocatable(rowCount, colCount)) {
        const std::size_t bytes =
            static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(colCount) * 3u;
        try {
            fresh = std::make_shared<std::vector<unsigned char>>(bytes, 0);
        } catch (const std::bad_alloc&) {
            // Out of memory is one more way an image cannot exist: the
            // caller sees an empty image, as for an absurd size.
            fresh.reset();
        }
    }
    if (!fresh) {
        rows = 0;
        cols = 0;
        type = typeCode;
        step = 0;
        data = nullptr;
        storage.reset();
        return;
    }
    rows = rowCount;
    cols = colCount;
    type = typeCode;
    step = static_cast<std::uint64_t>(colCount) * 3u;
    data = fresh->data();
    storage = std::move(fresh);
}

void Mat::release()
{
    *this = Mat();
}

Mat Mat::clone() const
{
    Mat copy;
    if (empty())
        return copy;
    copy.create(rows, cols, type);
    if (!copy.empty())
        copyPixelsInto(copy);
    return copy;
}

void Mat::copyPixelsInto(Mat& dst) const
{
    const std::size_t bytes = rowBytes(*this);
    if (pixelsOverlap(*this, dst) && data != dst.data) {
        Mat staged = clone();
        staged.copyPixelsInto(dst);
        return;
    }
    if (data == dst.data && step == dst.step)
        return;
    for (int r = 0; r < rows; ++r)
        std::memmove(dst.ptr(r), ptr(r), bytes);
}

void Mat::copyTo(Mat& dst) const
{
    if (empty()) {
        dst.release();
        return;
    }
    if (dst.empty() || dst.rows != rows || dst.cols != cols || dst.type != type) {
        // Keep our own buffer alive even when dst was the last other owner.
        const Mat source = *this;
        dst.create(rows, cols, type);
        if (!dst.empty())
            source.copyPixelsInto(dst);
        return;
    }
    copyPixelsInto(dst);
}

void Mat::copyTo(Mat&& dst) const
{
    copyTo(dst);
}

Mat Mat::operator()(const Rect& r) const
{
    Mat view;
    if (empty())
        return view;
    const int x0 = r.x < 0 ? 0 : std::min(r.x, cols);
    const int y0 = r.y < 0 ? 0 : std::min(r.y, rows);
    const int w = std::min(std::max(r.width, 0), cols - x0);
    const int h = std::min(std::max(r.height, 0), rows - y0);
    if (w <= 0 || h <= 0)
        return view;
    view.rows = h;
    view.cols = w;
    view.type = type;
    view.step = step;
    view.data = data + static_cast<std::size_t>(y0) * step + static_cast<std::size_t>(x0) * 3u;
    view.storage = storage;
    return view;
}

void cvtColor(const Mat& src, Mat& dst, int /*code*/)
{
    if (src.empty()) {
        dst.release();
        return;
    }
    Mat out(src.rows, src.cols, src.type);
    if (out.empty()) {
        dst.release();
        return;
    }
    for (int r = 0; r < src.rows; ++r) {
        const unsigned char* s = src.ptr(r);
        unsigned char* d = out.ptr(r);
        for (int c = 0; c < src.cols; ++c, s += 3, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    }
    dst = std::move(out);
}

namespace {

// Mirrors one row of pixels from src into dst (distinct memory).
void mirrorRow(const unsigned char* src, unsigned char* dst, int cols)
{
    const unsigned char* s = src + static_cast<std::size_t>(cols - 1) * 3u;
    for (int c = 0; c < cols; ++c, s -= 3, dst += 3) {
        dst[0] = s[0];
        dst[1] = s[1];
        dst[2] = s[2];
    }
}

// Mirrors one row in place by swapping pixels from both ends.
void mirrorRowInPlace(unsigned char* row, int cols)
{
    unsigned char* left = row;
    unsigned char* right = row + static_cast<std::size_t>(cols - 1) * 3u;
    for (; left < right; left += 3, right -= 3) {
        std::swap(left[0], right[0]);
        std::swap(left[1], right[1]);
        std::swap(left[2], right[2]);
    }
}

void flipDistinct(const Mat& src, Mat& dst, int flipCode)
{
    const std::size_t bytes = rowBytes(src);
    for (int r = 0; r < src.rows; ++r) {
        const int from = flipCode > 0 ? r : src.rows - 1 - r;
        if (flipCode == 0)
            std::memcpy(dst.ptr(r), src.ptr(from), bytes);
        else
            mirrorRow(src.ptr(from), dst.ptr(r), src.cols);
    }
}

} // namespace

void flip(const Mat& src, Mat& dst, int flipCode)
{
    if (src.empty()) {
        dst.release();
        return;
    }
    const bool sameImage = src.data == dst.data && src.step == dst.step && src.rows == dst.rows &&
                           src.cols == dst.cols;
    if (sameImage && flipCode > 0) {
        // The camera thread mirrors every frame in place: swap within rows
        // instead of cloning the frame first; the result is the same.
        for (int r = 0; r < dst.rows; ++r)
            mirrorRowInPlace(dst.ptr(r), dst.cols);
        return;
    }
    // Any other aliasing goes through a private copy of the source.
    const Mat source = pixelsOverlap(src, dst) ? src.clone() : src;
    if (source.empty()) {
        dst.release();
        return;
    }
    if (dst.empty() || dst.rows != source.rows || dst.cols != source.cols) {
        dst.create(source.rows, source.cols, source.type);
        if (dst.empty())
            return;
    }
    flipDistinct(source, dst, flipCode);
}

namespace {

int clampIndex(int v, int high)
{
    return v < 0 ? 0 : (v > high ? high : v);
}

struct BilinearAxis
{
    std::vector<int> low;    // clamp(floor(s))
    std::vector<int> high;   // clamp(floor(s) + 1)
    std::vector<double> frac;
};

BilinearAxis bilinearAxis(int sourceLength, int targetLength)
{
    BilinearAxis axis;
    axis.low.resize(targetLength);
    axis.high.resize(targetLength);
    axis.frac.resize(targetLength);
    const double scale = static_cast<double>(sourceLength) / static_cast<double>(targetLength);
    for (int i = 0; i < targetLength; ++i) {
        const double s = scale * (i + 0.5) - 0.5;
        const double base = std::floor(s);
        const int i0 = static_cast<int>(base);
        axis.low[i] = clampIndex(i0, sourceLength - 1);
        axis.high[i] = clampIndex(i0 + 1, sourceLength - 1);
        axis.frac[i] = s - base;
    }
    return axis;
}

// Weights that are multiples of 1/256 make every step of the double formula
// exact (a few dozen significant bits at most), so the same result comes
// out of integer arithmetic, which is several times faster. Common camera
// and letterbox ratios (1:1, 2:1, 3:2, 3:1, 4:3 ...) all land here.
constexpr int kFixedBits = 8;
constexpr int kFixedOne = 1 << kFixedBits;

bool fixedWeights(const std::vector<double>& frac, std::vector<int>& weights)
{
    weights.resize(frac.size());
    for (std::size_t i = 0; i < frac.size(); ++i) {
        const double scaled = frac[i] * kFixedOne;
        if (scaled != std::floor(scaled))
            return false;
        weights[i] = static_cast<int>(scaled);
    }
    return true;
}

void resizeBilinearFixed(const Mat& src, Mat& out, const BilinearAxis& ax, const BilinearAxis& ay,
                         const std::vector<int>& wx, const std::vector<int>& wy)
{
    const int outCols = out.cols;
    std::vector<int> upperRow(static_cast<std::size_t>(outCols) * 3u);
    std::vector<int> lowerRow(static_cast<std::size_t>(outCols) * 3u);
    std::vector<int> left3(outCols), right3(outCols);
    for (int x = 0; x < outCols; ++x) {
        left3[x] = ax.low[x] * 3;
        right3[x] = ax.high[x] * 3;
    }
    auto horizontal = [&](const unsigned char* row, std::vector<int>& dst) {
        int* d = dst.data();
        for (int x = 0; x < outCols; ++x, d += 3) {
            const unsigned char* l = row + left3[x];
            const unsigned char* r = row + right3[x];
            const int w1 = wx[x];
            const int w0 = kFixedOne - w1;
            d[0] = l[0] * w0 + r[0] * w1;
            d[1] = l[1] * w0 + r[1] * w1;
            d[2] = l[2] * w0 + r[2] * w1;
        }
    };
    int cachedUpper = -1;
    int cachedLower = -1;
    const int count = outCols * 3;
    constexpr int kHalf = 1 << (2 * kFixedBits - 1);
    for (int y = 0; y < out.rows; ++y) {
        const int upper = ay.low[y];
        const int lower = ay.high[y];
        if (upper == cachedLower && upper != cachedUpper) {
            upperRow.swap(lowerRow);
            cachedUpper = upper;
            cachedLower = -1;
        }
        if (upper != cachedUpper) {
            horizontal(src.ptr(upper), upperRow);
            cachedUpper = upper;
        }
        if (lower != cachedLower) {
            if (lower == upper)
                lowerRow = upperRow;
            else
                horizontal(src.ptr(lower), lowerRow);
            cachedLower = lower;
        }
        const int w1 = wy[y];
        const int w0 = kFixedOne - w1;
        const int* u = upperRow.data();
        const int* l = lowerRow.data();
        unsigned char* d = out.ptr(y);
        for (int i = 0; i < count; ++i) {
            // Non-negative and at most 255 * 2^16, so the shift rounds half up,
            // which is "half away from zero" here.
            d[i] = static_cast<unsigned char>((l[i] * w1 + u[i] * w0 + kHalf) >> (2 * kFixedBits));
        }
    }
}

void resizeBilinearExact(const Mat& src, Mat& out, const BilinearAxis& ax, const BilinearAxis& ay)
{
    const int outCols = out.cols;
    for (int y = 0; y < out.rows; ++y) {
        const unsigned char* upper = src.ptr(ay.low[y]);
        const unsigned char* lower = src.ptr(ay.high[y]);
        const double fy = ay.frac[y];
        const double gy = 1.0 - fy;
        unsigned char* d = out.ptr(y);
        for (int x = 0; x < outCols; ++x, d += 3) {
            const int left = ax.low[x] * 3;
            const int right = ax.high[x] * 3;
            const double fx = ax.frac[x];
            const double gx = 1.0 - fx;
            for (int c = 0; c < 3; ++c) {
                const double v = (lower[left + c] * gx + lower[right + c] * fx) * fy +
                                 (upper[right + c] * fx + upper[left + c] * gx) * gy;
                d[c] = saturateToByte(v);
            }
        }
    }
}

void resizeNearest(const Mat& src, Mat& out)
{
    const int outW = out.cols;
    const int outH = out.rows;
    std::vector<int> column(outW);
    for (int x = 0; x < outW; ++x) {
        const long long sx = static_cast<long long>(x) * src.cols / outW;
        column[x] = static_cast<int>(std::min<long long>(sx, src.cols - 1)) * 3;
    }
    for (int y = 0; y < outH; ++y) {
        const long long sy = static_cast<long long>(y) * src.rows / outH;
        const unsigned char* s = src.ptr(static_cast<int>(std::min<long long>(sy, src.rows - 1)));
        unsigned char* d = out.ptr(y);
        for (int x = 0; x < outW; ++x, d += 3) {
            const unsigned char* p = s + column[x];
            d[0] = p[0];
            d[1] = p[1];
            d[2] = p[2];
        }
    }
}

int outputLength(int requested, int sourceLength, double factor)
{
    if (requested > 0)
        return requested;
    if (factor > 0.0) {
        const double scaled = sourceLength * factor;
        // Beyond the largest image side the result would be refused anyway;
        // checking first keeps the conversion to int defined.
        if (!(scaled < static_cast<double>(kMaxImageSide) + 1.0))
            return kMaxImageSide + 1;
        return roundHalfAwayFromZero(scaled);
    }
    return 0;
}

} // namespace

void resize(const Mat& src, Mat& dst, const Size& dsize, double fx, double fy, int interpolation)
{
    const int outW = outputLength(dsize.width, src.cols, fx);
    const int outH = outputLength(dsize.height, src.rows, fy);
    if (src.empty() || outW <= 0 || outH <= 0) {
        dst.release();
        return;
    }
    Mat out(outH, outW, src.type);
    if (out.empty()) {
        dst.release();
        return;
    }
    if (interpolation == INTER_NEAREST) {
        resizeNearest(src, out);
    } else if (outW == src.cols && outH == src.rows) {
        // Every weight is exactly 0: the formula returns the source pixels.
        src.copyTo(out);
    } else {
        const BilinearAxis ax = bilinearAxis(src.cols, outW);
        const BilinearAxis ay = bilinearAxis(src.rows, outH);
        std::vector<int> wx, wy;
        if (fixedWeights(ax.frac, wx) && fixedWeights(ay.frac, wy))
            resizeBilinearFixed(src, out, ax, ay, wx, wy);
        else
            resizeBilinearExact(src, out, ax, ay);
    }
    dst = std::move(out);
}

} // namespace cv
