#include "vision/raw_frame_decoder.h"

#include <QByteArray>
#include <QImage>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace cv {

namespace {

// Geometry is checked in 64-bit arithmetic: width and height are at most
// kMaxImageSide and |stride| at most 2^31, so no product below can wrap.
using Bytes = std::uint64_t;

struct Bgr
{
    unsigned char b, g, r;
};

unsigned char clampByte(int v)
{
    return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// BT.601 limited range in integers; luma below 16 counts as 16.
Bgr yuvToBgr(int y, int u, int v)
{
    const int c = std::max(y - 16, 0);
    const int d = u - 128;
    const int e = v - 128;
    return {clampByte((298 * c + 516 * d + 128) >> 8), clampByte((298 * c - 100 * d - 208 * e + 128) >> 8),
            clampByte((298 * c + 409 * e + 128) >> 8)};
}

void store(unsigned char* dst, const Bgr& p)
{
    dst[0] = p.b;
    dst[1] = p.g;
    dst[2] = p.r;
}

Bytes magnitude(int stride)
{
    return static_cast<Bytes>(stride < 0 ? -static_cast<std::int64_t>(stride) : static_cast<std::int64_t>(stride));
}

// The stride rule shared by the packed layouts: the caller's stride when it
// holds a row and the buffer holds every row at it, else the natural row
// length, which the buffer must then hold. 0 means the frame is too short.
Bytes packedStride(Bytes rowLength, int stride, std::size_t size, int height)
{
    const Bytes given = magnitude(stride);
    if (stride != 0 && given >= rowLength && size >= static_cast<Bytes>(height) * given)
        return given;
    if (size >= static_cast<Bytes>(height) * rowLength)
        return rowLength;
    return 0;
}

int sourceRow(int i, int height, bool bottomUp)
{
    return bottomUp ? height - 1 - i : i;
}

bool decodePacked422(const unsigned char* src, std::size_t size, int width, int height, unsigned int code,
                     int stride, bool bottomUp, Mat& out)
{
    const Bytes rowStride = packedStride(2u * static_cast<Bytes>(width), stride, size, height);
    if (rowStride == 0)
        return false;
    // Byte positions of Y0, U, Y1, V inside one four-byte group.
    int y0 = 0, u = 1, y1 = 2, v = 3;
    if (code == kCodeUYVY) {
        u = 0; y0 = 1; v = 2; y1 = 3;
    } else if (code == kCodeYVYU) {
        y0 = 0; v = 1; y1 = 2; u = 3;
    }
    const int pairs = width / 2;
    for (int i = 0; i < height; ++i) {
        const unsigned char* row = src + static_cast<Bytes>(sourceRow(i, height, bottomUp)) * rowStride;
        unsigned char* d = out.ptr(i);
        for (int p = 0; p < pairs; ++p, row += 4, d += 6) {
            store(d, yuvToBgr(row[y0], row[u], row[v]));
            store(d + 3, yuvToBgr(row[y1], row[u], row[v]));
        }
        if (width % 2 == 0)
            continue;
        // Only the first two bytes of the last group exist.
        if (code == kCodeUYVY)
            store(d, yuvToBgr(row[1], row[0], 128));
        else if (code == kCodeYVYU)
            store(d, yuvToBgr(row[0], 128, 128));
        else
            store(d, yuvToBgr(row[0], row[1], 128));
    }
    return true;
}

bool decodeNv12(const unsigned char* src, std::size_t size, int width, int height, int stride, Mat& out)
{
    const Bytes chromaRows = (static_cast<Bytes>(height) + 1) / 2;
    const Bytes totalRows = static_cast<Bytes>(height) + chromaRows;
    const Bytes given = magnitude(stride);
    const Bytes rowStride =
        (stride != 0 && given >= static_cast<Bytes>(width) && size >= totalRows * given) ? given
                                                                                         : static_cast<Bytes>(width);
    if (size < totalRows * rowStride)
        return false;
    const unsigned char* plane = src + static_cast<Bytes>(height) * rowStride;
    for (int y = 0; y < height; ++y) {
        const unsigned char* luma = src + static_cast<Bytes>(y) * rowStride;
        const unsigned char* chroma = plane + static_cast<Bytes>(y / 2) * rowStride;
        unsigned char* d = out.ptr(y);
        for (int x = 0; x < width; ++x, d += 3) {
            const Bytes even = static_cast<Bytes>(x) & ~Bytes(1);
            const bool pairInRow = even + 1 < rowStride;
            const int u = pairInRow ? chroma[even] : 128;
            const int v = pairInRow ? chroma[even + 1] : 128;
            store(d, yuvToBgr(luma[x], u, v));
        }
    }
    return true;
}

bool decodePlanar420(const unsigned char* src, std::size_t size, int width, int height, unsigned int code,
                     Mat& out)
{
    const Bytes chromaWidth = (static_cast<Bytes>(width) + 1) / 2;
    const Bytes chromaPlane = chromaWidth * ((static_cast<Bytes>(height) + 1) / 2);
    const Bytes lumaPlane = static_cast<Bytes>(width) * static_cast<Bytes>(height);
    if (size < lumaPlane + 2 * chromaPlane)
        return false;
    const unsigned char* first = src + lumaPlane;
    const unsigned char* second = first + chromaPlane;
    const unsigned char* uPlane = code == kCodeYV12 ? second : first;
    const unsigned char* vPlane = code == kCodeYV12 ? first : second;
    for (int y = 0; y < height; ++y) {
        const unsigned char* luma = src + static_cast<Bytes>(y) * static_cast<Bytes>(width);
        const Bytes chromaRow = static_cast<Bytes>(y / 2) * chromaWidth;
        unsigned char* d = out.ptr(y);
        for (int x = 0; x < width; ++x, d += 3) {
            const Bytes at = chromaRow + static_cast<Bytes>(x / 2);
            store(d, yuvToBgr(luma[x], uPlane[at], vPlane[at]));
        }
    }
    return true;
}

bool decode32(const unsigned char* src, std::size_t size, int width, int height, int stride, bool bottomUp,
              Mat& out)
{
    const Bytes rowStride = packedStride(4u * static_cast<Bytes>(width), stride, size, height);
    if (rowStride == 0)
        return false;
    for (int i = 0; i < height; ++i) {
        const unsigned char* s = src + static_cast<Bytes>(sourceRow(i, height, bottomUp)) * rowStride;
        unsigned char* d = out.ptr(i);
        for (int x = 0; x < width; ++x, s += 4, d += 3) {
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
    return true;
}

bool decode24(const unsigned char* src, std::size_t size, int width, int height, int stride, bool bottomUp,
              Mat& out)
{
    const Bytes rowLength = 3u * static_cast<Bytes>(width);
    const Bytes padded = (rowLength + 3) & ~Bytes(3);
    const Bytes given = magnitude(stride);
    const Bytes rows = static_cast<Bytes>(height);
    Bytes rowStride = 0;
    if (stride != 0 && given >= rowLength && size >= rows * given)
        rowStride = given;
    else if (size >= rows * padded)
        rowStride = padded;
    else if (size >= rows * rowLength)
        rowStride = rowLength;
    else
        return false;
    for (int i = 0; i < height; ++i)
        std::memcpy(out.ptr(i), src + static_cast<Bytes>(sourceRow(i, height, bottomUp)) * rowStride, rowLength);
    return true;
}

// A whole JPEG starts with the start-of-image marker and ends with the
// end-of-image marker; cameras may pad the buffer with zeros after it. A
// frame cut short (a USB hiccup) lacks the end: the image reader would fill
// the missing part with grey and complain on the standard error stream.
bool isCompleteJpeg(const unsigned char* src, std::size_t size)
{
    while (size > 0 && src[size - 1] == 0)
        --size;
    return size >= 4 && src[0] == 0xFF && src[1] == 0xD8 && src[size - 2] == 0xFF && src[size - 1] == 0xD9;
}

bool decodeJpeg(const unsigned char* src, std::size_t size, Mat& out)
{
    if (size > static_cast<std::size_t>(INT_MAX) || !isCompleteJpeg(src, size))
        return false;
    const QImage decoded = QImage::fromData(src, static_cast<int>(size), "JPEG");
    if (decoded.isNull())
        return false;
    const QImage rgb = decoded.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull())
        return false;
    Mat image(rgb.height(), rgb.width(), CV_8UC3);
    if (image.empty())
        return false;
    for (int r = 0; r < image.rows; ++r) {
        const uchar* s = rgb.constScanLine(r);
        unsigned char* d = image.ptr(r);
        for (int c = 0; c < image.cols; ++c, s += 3, d += 3) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    }
    out = std::move(image);
    return true;
}

bool isPacked422(unsigned int code)
{
    return code == kCodeYUY2 || code == kCodeUYVY || code == kCodeYVYU;
}

bool isPlanar420(unsigned int code)
{
    return code == kCodeI420 || code == kCodeIYUV || code == kCodeYV12;
}

} // namespace

bool decodeRawVideoFrameToBgr(const unsigned char* src, std::size_t size, int width, int height, unsigned int code,
                              unsigned short bitCount, int stride, bool bottomUp, Mat& out)
{
    if (src == nullptr || size == 0 || width < 1 || height < 1)
        return false;
    if (code == kCodeMJPG)
        return decodeJpeg(src, size, out);

    const bool is32 = code == kCodeBgr32 || code == kCodeBgrx32 || (code == kCodeBitmap && bitCount == 32);
    const bool is24 = code == kCodeBgr24 || (code == kCodeBitmap && (bitCount == 24 || bitCount == 0));
    if (!isPacked422(code) && code != kCodeNV12 && !isPlanar420(code) && !is32 && !is24)
        return false;

    // Every layout here needs at least one byte a pixel: checking that first
    // keeps a short frame with a huge claimed size from allocating the image.
    if (static_cast<Bytes>(size) < static_cast<Bytes>(width) * static_cast<Bytes>(height))
        return false;
    // An absurd geometry gets no image rather than a wrapped allocation.
    // Every layout below writes every pixel, so the buffer is not zeroed.
    Mat image = Mat::uninitialized(height, width, CV_8UC3);
    if (image.empty())
        return false;
    bool decoded = false;
    if (isPacked422(code))
        decoded = decodePacked422(src, size, width, height, code, stride, bottomUp, image);
    else if (code == kCodeNV12)
        decoded = decodeNv12(src, size, width, height, stride, image);
    else if (isPlanar420(code))
        decoded = decodePlanar420(src, size, width, height, code, image);
    else if (is32)
        decoded = decode32(src, size, width, height, stride, bottomUp, image);
    else
        decoded = decode24(src, size, width, height, stride, bottomUp, image);
    if (!decoded)
        return false;
    out = std::move(image);
    return true;
}

} // namespace cv
