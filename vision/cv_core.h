#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// The image core of the vision pipeline: the few names of the widely known
// computer-vision interface that capture, pose estimation and the camera
// thread use. Exactly one pixel format exists: 8-bit BGR, three bytes a pixel.
namespace cv {

// Type code of an 8-bit three-channel image; carried along, never examined.
constexpr int CV_8UC3 = 16;

// The largest side an image may have. Anything larger is refused (an empty
// image) so that a corrupted width or height from a camera or a file can
// neither wrap the byte count nor ask for gigabytes.
constexpr int kMaxImageSide = 16384;

constexpr int COLOR_BGR2RGB = 4;
constexpr int COLOR_RGB2BGR = 4;

constexpr int INTER_NEAREST = 0;
constexpr int INTER_LINEAR = 1;

constexpr int FILLED = -1;
constexpr int LINE_8 = 8;
constexpr int LINE_AA = 16;

constexpr int FONT_HERSHEY_SIMPLEX = 0;

struct Point
{
    Point() = default;
    Point(int xValue, int yValue) : x(xValue), y(yValue) {}
    int x = 0;
    int y = 0;
};

struct Size
{
    Size() = default;
    Size(int widthValue, int heightValue) : width(widthValue), height(heightValue) {}
    int width = 0;
    int height = 0;
};

struct Rect
{
    Rect() = default;
    Rect(int xValue, int yValue, int widthValue, int heightValue)
        : x(xValue), y(yValue), width(widthValue), height(heightValue)
    {
    }
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A colour is (blue, green, red, unused).
struct Scalar
{
    Scalar() = default;
    Scalar(double v0, double v1 = 0.0, double v2 = 0.0, double v3 = 0.0) : val{v0, v1, v2, v3} {}
    double val[4] = {0.0, 0.0, 0.0, 0.0};
};

// Leaves new bytes uninitialised: operations that write every pixel need
// not pay for zeroing the buffer first. Constructors that promise black
// pixels zero them explicitly.
template <typename T>
struct UninitializedAllocator : std::allocator<T>
{
    template <typename U>
    struct rebind
    {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// The growable byte array behind an image.
using ImageBuffer = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// A BGR image: a header over a reference-counted byte buffer. Copies share
// the pixels; clone() and copyTo() copy them. A region view keeps its
// parent's step and shares its buffer.
class Mat
{
public:
    Mat() = default;
    Mat(int rowCount, int colCount, int typeCode);
    Mat(int rowCount, int colCount, int typeCode, const Scalar& fill);
    Mat(Size size, int typeCode) : Mat(size.height, size.width, typeCode) {}

    // An image whose pixels are undefined until written, for code that
    // writes every one of them. Empty under the same rules as create().
    static Mat uninitialized(int rowCount, int colCount, int typeCode);

    Mat(const Mat&) = default;
    Mat& operator=(const Mat&) = default;
    Mat(Mat&& other) noexcept;
    Mat& operator=(Mat&& other) noexcept;
    ~Mat() = default;

    void create(int rowCount, int colCount, int typeCode);
    // Back to the empty state; drops this header's share of the buffer.
    void release();

    bool empty() const { return rows <= 0 || cols <= 0 || data == nullptr; }
    Mat clone() const;
    void copyTo(Mat& dst) const;
    void copyTo(Mat&& dst) const;
    Mat operator()(const Rect& r) const;

    Size size() const { return Size(cols, rows); }
    int channels() const { return 3; }
    std::size_t elemSize() const { return 3; }
    bool isContinuous() const { return empty() || step == static_cast<std::uint64_t>(cols) * 3u; }

    unsigned char* ptr(int row) { return data + static_cast<std::size_t>(row) * step; }
    const unsigned char* ptr(int row) const { return data + static_cast<std::size_t>(row) * step; }

    int rows = 0;
    int cols = 0;
    int type = CV_8UC3;
    std::uint64_t step = 0;
    unsigned char* data = nullptr;
    std::shared_ptr<ImageBuffer> storage;

private:
    void allocate(int rowCount, int colCount, int typeCode, bool zero);
    void copyPixelsInto(Mat& dst) const;
};

// Swaps the first and third byte of every pixel (BGR <-> RGB); the code is
// not examined. src and dst may be the same image.
void cvtColor(const Mat& src, Mat& dst, int code);

// flipCode > 0 mirrors left-right, 0 top-bottom, < 0 both. In place is fine.
void flip(const Mat& src, Mat& dst, int flipCode);

// Nearest (interpolation 0) or bilinear (anything else) scaling.
void resize(const Mat& src, Mat& dst, const Size& dsize, double fx = 0.0, double fy = 0.0,
            int interpolation = INTER_LINEAR);

} // namespace cv
