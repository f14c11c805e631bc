// Feeds camera-frame bytes with arbitrary geometry to the raw frame decoder.
// Input layout: a 12-byte header, then the frame itself.
//   byte 0      layout selector (below 12: one of the decoder's codes;
//               otherwise bytes 8..11 are taken as a raw 32-bit code)
//   bytes 1-2   width, little-endian (16 bits; 0xffff means INT_MAX)
//   bytes 3-4   height, the same
//   bytes 5-6   stride, signed 16 bits, scaled by byte 7's high bit
//   byte 7      bit 0: bottom-up; bits 1-3: bit count / 8; bit 7: stride * 65536
//   bytes 8-11  raw code (see byte 0)
#include "vision/raw_frame_decoder.h"

#include <QLoggingCategory>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const unsigned int kCodes[] = {cv::kCodeYUY2, cv::kCodeUYVY,  cv::kCodeYVYU,  cv::kCodeNV12,
                               cv::kCodeI420, cv::kCodeIYUV,  cv::kCodeYV12,  cv::kCodeBgr24,
                               cv::kCodeBgr32, cv::kCodeBgrx32, cv::kCodeBitmap, cv::kCodeMJPG};
constexpr std::size_t kHeader = 12;

// Qt's JPEG reader reports every corrupt stream on stderr; thousands of
// lines a second would only slow the fuzzer down.
void silenceImageReaders()
{
    static const bool silenced = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
        return true;
    }();
    (void)silenced;
}

int side(const uint8_t* p)
{
    const int v = p[0] | (p[1] << 8);
    return v == 0xffff ? INT_MAX : v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    silenceImageReaders();
    if (size < kHeader)
        return 0;
    unsigned int code = 0;
    if (data[0] < sizeof(kCodes) / sizeof(kCodes[0]))
        code = kCodes[data[0]];
    else
        std::memcpy(&code, data + 8, sizeof(code));
    const int width = side(data + 1);
    const int height = side(data + 3);
    int stride = static_cast<int16_t>(data[5] | (data[6] << 8));
    if (data[7] & 0x80)
        stride *= 65536;  // -2^31 .. 2^31 - 2^16: still an int
    const bool bottomUp = data[7] & 1;
    const unsigned short bitCount = static_cast<unsigned short>(((data[7] >> 1) & 7) * 8);

    // A private copy of exactly the frame bytes, so that the sanitizer sees
    // any read past its end.
    std::vector<unsigned char> frame(data + kHeader, data + size);
    cv::Mat out;
    const bool ok = cv::decodeRawVideoFrameToBgr(frame.empty() ? nullptr : frame.data(), frame.size(), width,
                                                 height, code, bitCount, stride, bottomUp, out);
    if (ok && code != cv::kCodeMJPG && (out.rows != height || out.cols != width))
        __builtin_trap();
    if (ok && out.empty())
        __builtin_trap();
    return 0;
}
