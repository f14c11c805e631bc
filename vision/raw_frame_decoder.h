#pragma once

#include "vision/cv_core.h"

#include <cstddef>
#include <cstdint>

namespace cv {

// A four-character pixel-format code read as a little-endian integer.
constexpr unsigned int fourccCode(char a, char b, char c, char d)
{
    return static_cast<unsigned int>(static_cast<unsigned char>(a)) |
           (static_cast<unsigned int>(static_cast<unsigned char>(b)) << 8) |
           (static_cast<unsigned int>(static_cast<unsigned char>(c)) << 16) |
           (static_cast<unsigned int>(static_cast<unsigned char>(d)) << 24);
}

// The pixel layouts the decoder reads.
constexpr unsigned int kCodeYUY2 = fourccCode('Y', 'U', 'Y', '2');
constexpr unsigned int kCodeYVYU = fourccCode('Y', 'V', 'Y', 'U');
constexpr unsigned int kCodeUYVY = fourccCode('U', 'Y', 'V', 'Y');
constexpr unsigned int kCodeNV12 = fourccCode('N', 'V', '1', '2');
constexpr unsigned int kCodeI420 = fourccCode('I', '4', '2', '0');
constexpr unsigned int kCodeIYUV = fourccCode('I', 'Y', 'U', 'V');
constexpr unsigned int kCodeYV12 = fourccCode('Y', 'V', '1', '2');
constexpr unsigned int kCodeMJPG = fourccCode('M', 'J', 'P', 'G');
constexpr unsigned int kCodeBitmap = 0;   // uncompressed; depth from the bit count
constexpr unsigned int kCodeBgr24 = 20;   // blue, green, red
constexpr unsigned int kCodeBgr32 = 21;   // blue, green, red, unused
constexpr unsigned int kCodeBgrx32 = 22;  // blue, green, red, unused

// Decodes one raw camera frame of `size` bytes into a new BGR image of
// height x width (for MJPG, of the JPEG's own size). `stride` is the byte
// distance between rows (0: the layout's natural one; its sign is ignored),
// `bottomUp` reverses the row order of the packed layouts. Never reads
// outside [src, src + size). On failure returns false and leaves `out` as
// it was.
bool decodeRawVideoFrameToBgr(const unsigned char* src, std::size_t size, int width, int height, unsigned int code,
                              unsigned short bitCount, int stride, bool bottomUp, Mat& out);

} // namespace cv
