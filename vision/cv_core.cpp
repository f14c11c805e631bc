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
    allocate(rowCount, colCount, typeCode, true);
}

Mat Mat::uninitialized(int rowCount, int colCount, int typeCode)
{
    Mat m;
    m.allocate(rowCount, colCount, typeCode, false);
    return m;
}

void Mat::allocate(int rowCount, int colCount, int typeCode, bool zero)
{
    std::shared_ptr<ImageBuffer> fresh;
    if (sidesAreAllocatable(rowCount, colCount)) {
        const std::size_t bytes =
            static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(colCount) * 3u;
        try {
            fresh = zero ? std::make_shared<ImageBuffer>(bytes, 0) : std::make_shared<ImageBuffer>(bytes);
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
    if (empty())
        return Mat();
    Mat copy = uninitialized(rows, cols, type);
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
        dst = uninitialized(rows, cols, type);
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

namespace {

void swapPixel(const unsigned char* s, unsigned char* d)
{
    d[0] = s[2];
    d[1] = s[1];
    d[2] = s[0];
}

// Exchanges the first and third byte of every pixel of a row (distinct
// memory). All but the last pixel go through one 4-byte load and store: the
// byte swap leaves the pixel reversed in the low three bytes, and the fourth
// byte written is overwritten by the next pixel.
void swapRow(const unsigned char* src, unsigned char* dst, int cols)
{
    for (int c = 0; c < cols - 1; ++c) {
        std::uint32_t word;
        std::memcpy(&word, src + static_cast<std::size_t>(c) * 3u, 4);
        word = __builtin_bswap32(word) >> 8;
        std::memcpy(dst + static_cast<std::size_t>(c) * 3u, &word, 4);
    }
    swapPixel(src + static_cast<std::size_t>(cols - 1) * 3u, dst + static_cast<std::size_t>(cols - 1) * 3u);
}

} // namespace

void cvtColor(const Mat& src, Mat& dst, int /*code*/)
{
    if (src.empty()) {
        dst.release();
        return;
    }
    Mat out = Mat::uninitialized(src.rows, src.cols, src.type);
    if (out.empty()) {
        dst.release();
        return;
    }
    for (int r = 0; r < src.rows; ++r)
        swapRow(src.ptr(r), out.ptr(r), src.cols);
    dst = std::move(out);
}

namespace {

// Mirrors one row of pixels from src into dst (distinct memory). Inner
// pixels move as one 4-byte load and store each; the fourth byte written
// lands on the next destination pixel, which the next store overwrites.
// The first and last pixel move as three bytes so that nothing outside
// either row is read or written.
void mirrorRow(const unsigned char* src, unsigned char* dst, int cols)
{
    const unsigned char* last = src + static_cast<std::size_t>(cols - 1) * 3u;
    std::memcpy(dst, last, 3);
    if (cols == 1)
        return;
    for (int c = 1; c < cols - 1; ++c) {
        std::uint32_t pixel;
        std::memcpy(&pixel, last - static_cast<std::size_t>(c) * 3u, 4);
        std::memcpy(dst + static_cast<std::size_t>(c) * 3u, &pixel, 4);
    }
    std::memcpy(dst + static_cast<std::size_t>(cols - 1) * 3u, src, 3);
}

// Mirrors one row in place through a copy of the row.
void mirrorRowInPlace(unsigned char* row, int cols, std::vector<unsigned char>& scratch)
{
    const std::size_t bytes = static_cast<std::size_t>(cols) * 3u;
    scratch.resize(bytes);
    std::memcpy(scratch.data(), row, bytes);
    mirrorRow(scratch.data(), row, cols);
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
        std::vector<unsigned char> scratch;
        for (int r = 0; r < dst.rows; ++r)
            mirrorRowInPlace(dst.ptr(r), dst.cols, scratch);
        return;
    }
    // Any other aliasing goes through a private copy of the source.
    const Mat source = pixelsOverlap(src, dst) ? src.clone() : src;
    if (source.empty()) {
        dst.release();
        return;
    }
    if (dst.empty() || dst.rows != source.rows || dst.cols != source.cols) {
        dst = Mat::uninitialized(source.rows, source.cols, source.type);
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

// Exactly half the size in both directions: every weight is one half and
// no index is clamped, so the rule is the mean of a 2 x 2 block rounded
// half up (exact in doubles, hence identical to the general formula).
bool isExactHalf(const Mat& src, int outW, int outH)
{
    return src.cols == 2 * outW && src.rows == 2 * outH;
}

void resizeHalf(const Mat& src, Mat& out)
{
    const int count = out.cols;
    for (int y = 0; y < out.rows; ++y) {
        const unsigned char* a = src.ptr(2 * y);
        const unsigned char* b = src.ptr(2 * y + 1);
        unsigned char* d = out.ptr(y);
        for (int x = 0; x < count; ++x, a += 6, b += 6, d += 3) {
            d[0] = static_cast<unsigned char>((a[0] + a[3] + b[0] + b[3] + 2) >> 2);
            d[1] = static_cast<unsigned char>((a[1] + a[4] + b[1] + b[4] + 2) >> 2);
            d[2] = static_cast<unsigned char>((a[2] + a[5] + b[2] + b[5] + 2) >> 2);
        }
    }
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

// sat() of the bilinear rule without a library call: for 0 < v < 255 the
// truncation and the remainder are exact, and a remainder of one half or
// more rounds up, which is "half away from zero" for positive values.
inline unsigned char roundToByte(double v)
{
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    const int whole = static_cast<int>(v);
    return static_cast<unsigned char>(v - whole >= 0.5 ? whole + 1 : whole);
}

// Any other ratio: the same two passes with 16-bit weights give each value
// to within 1/128 of the exact one. Only where that is too close to a
// rounding boundary (about 2 values in 100) is the double-precision rule
// evaluated; everywhere else both round the same way, so the bytes are
// exactly those of the rule at a fraction of its cost.
constexpr int kVerifiedBits = 16;
constexpr std::uint64_t kVerifiedOne = 1u << kVerifiedBits;
constexpr std::uint64_t kVerifiedHalf = std::uint64_t(1) << (2 * kVerifiedBits - 1);
// 0.01 in units of 2^-32: above the worst-case error of the 16-bit path
// (255 * 2^-16 per pass) and far above that of the double evaluation.
constexpr std::uint64_t kVerifiedWindow = 42949673;
constexpr std::uint64_t kVerifiedFractionMask = (std::uint64_t(1) << (2 * kVerifiedBits)) - 1;

unsigned char exactBilinear(const Mat& src, const BilinearAxis& ax, const BilinearAxis& ay, int x, int y, int c)
{
    const unsigned char* upper = src.ptr(ay.low[y]);
    const unsigned char* lower = src.ptr(ay.high[y]);
    const int left = ax.low[x] * 3 + c;
    const int right = ax.high[x] * 3 + c;
    const double fx = ax.frac[x];
    const double fy = ay.frac[y];
    const double v = (lower[left] * (1.0 - fx) + lower[right] * fx) * fy +
                     (upper[right] * fx + upper[left] * (1.0 - fx)) * (1.0 - fy);
    return roundToByte(v);
}

std::vector<std::uint32_t> verifiedWeights(const std::vector<double>& frac)
{
    std::vector<std::uint32_t> weights(frac.size());
    for (std::size_t i = 0; i < frac.size(); ++i)
        weights[i] = static_cast<std::uint32_t>(std::min<double>(std::floor(frac[i] * kVerifiedOne + 0.5),
                                                                 static_cast<double>(kVerifiedOne)));
    return weights;
}

void resizeBilinearVerified(const Mat& src, Mat& out, const BilinearAxis& ax, const BilinearAxis& ay)
{
    const int outCols = out.cols;
    const std::vector<std::uint32_t> wx = verifiedWeights(ax.frac);
    const std::vector<std::uint32_t> wy = verifiedWeights(ay.frac);
    std::vector<std::uint32_t> upperRow(static_cast<std::size_t>(outCols) * 3u);
    std::vector<std::uint32_t> lowerRow(static_cast<std::size_t>(outCols) * 3u);
    std::vector<int> left3(outCols), right3(outCols);
    for (int x = 0; x < outCols; ++x) {
        left3[x] = ax.low[x] * 3;
        right3[x] = ax.high[x] * 3;
    }
    auto horizontal = [&](const unsigned char* row, std::vector<std::uint32_t>& dst) {
        std::uint32_t* d = dst.data();
        for (int x = 0; x < outCols; ++x, d += 3) {
            const unsigned char* l = row + left3[x];
            const unsigned char* r = row + right3[x];
            const std::uint32_t w1 = wx[x];
            const std::uint32_t w0 = static_cast<std::uint32_t>(kVerifiedOne) - w1;
            d[0] = l[0] * w0 + r[0] * w1;
            d[1] = l[1] * w0 + r[1] * w1;
            d[2] = l[2] * w0 + r[2] * w1;
        }
    };
    int cachedUpper = -1;
    int cachedLower = -1;
    const int count = outCols * 3;
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
            horizontal(src.ptr(lower), lowerRow);
            cachedLower = lower;
        }
        const std::uint64_t w1 = wy[y];
        const std::uint64_t w0 = kVerifiedOne - w1;
        const std::uint32_t* l = lowerRow.data();
        const std::uint32_t* u = upperRow.data();
        unsigned char* d = out.ptr(y);
        for (int i = 0; i < count; ++i) {
            const std::uint64_t v = l[i] * w1 + u[i] * w0;
            const std::uint64_t rounded = (v + kVerifiedHalf) >> (2 * kVerifiedBits);
            d[i] = static_cast<unsigned char>(rounded < 255 ? rounded : 255);
            // Too close to a rounding boundary: the exact rule decides. A
            // value whose integer part is 255 or more saturates either way.
            const std::uint64_t rest = v & kVerifiedFractionMask;
            if (__builtin_expect(((rest - (kVerifiedHalf - kVerifiedWindow)) & kVerifiedFractionMask) <=
                                         2 * kVerifiedWindow &&
                                     (v >> (2 * kVerifiedBits)) < 255,
                                 0))
                d[i] = exactBilinear(src, ax, ay, i / 3, y, i % 3);
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
    Mat out = Mat::uninitialized(outH, outW, src.type);
    if (out.empty()) {
        dst.release();
        return;
    }
    if (interpolation == INTER_NEAREST) {
        resizeNearest(src, out);
    } else if (outW == src.cols && outH == src.rows) {
        // Every weight is exactly 0: the formula returns the source pixels.
        src.copyTo(out);
    } else if (isExactHalf(src, outW, outH)) {
        resizeHalf(src, out);
    } else {
        const BilinearAxis ax = bilinearAxis(src.cols, outW);
        const BilinearAxis ay = bilinearAxis(src.rows, outH);
        std::vector<int> wx, wy;
        if (fixedWeights(ax.frac, wx) && fixedWeights(ay.frac, wy))
            resizeBilinearFixed(src, out, ax, ay, wx, wy);
        else
            resizeBilinearVerified(src, out, ax, ay);
    }
    dst = std::move(out);
}

} // namespace cv
