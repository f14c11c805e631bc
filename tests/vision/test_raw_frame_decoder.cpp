#include "vision/raw_frame_decoder.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Frame bytes placed so that they end exactly where an inaccessible page
// begins: any read past `size` crashes the test instead of passing unseen.
class GuardedFrame
{
public:
    explicit GuardedFrame(const std::vector<unsigned char>& bytes) : m_size(bytes.size())
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        m_dataPages = (bytes.size() + page - 1) / page + 1;
        m_length = (m_dataPages + 1) * page;
        void* base = mmap(nullptr, m_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            m_base = nullptr;
            return;
        }
        m_base = static_cast<unsigned char*>(base);
        unsigned char* guard = m_base + m_dataPages * page;
        mprotect(guard, page, PROT_NONE);
        m_data = guard - bytes.size();
        if (!bytes.empty())
            std::memcpy(m_data, bytes.data(), bytes.size());
    }
    ~GuardedFrame()
    {
        if (m_base)
            munmap(m_base, m_length);
    }
    GuardedFrame(const GuardedFrame&) = delete;
    GuardedFrame& operator=(const GuardedFrame&) = delete;

    const unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_size; }

private:
    unsigned char* m_base = nullptr;
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_dataPages = 0;
    std::size_t m_length = 0;
};

struct Decoded
{
    bool ok = false;
    cv::Mat image;
};

Decoded decode(const std::vector<unsigned char>& bytes, int width, int height, unsigned int code,
               unsigned short bitCount = 0, int stride = 0, bool bottomUp = false)
{
    GuardedFrame frame(bytes);
    Decoded result;
    result.ok = cv::decodeRawVideoFrameToBgr(frame.data(), frame.size(), width, height, code, bitCount, stride,
                                             bottomUp, result.image);
    return result;
}

std::vector<unsigned char> pixel(const cv::Mat& m, int x, int y)
{
    const unsigned char* p = m.ptr(y) + x * 3;
    return {p[0], p[1], p[2]};
}

// The grey the conversion gives for luma y with neutral chroma.
unsigned char grey(int y)
{
    const int v = (298 * std::max(y - 16, 0) + 128) >> 8;
    return static_cast<unsigned char>(std::min(v, 255));
}

std::vector<unsigned char> greyPixel(int y)
{
    return {grey(y), grey(y), grey(y)};
}

} // namespace

TEST(RawFrameDecoder, Yuy2BlackWhiteAndColourConversion)
{
    Decoded black = decode({16, 128, 16, 128}, 2, 1, cv::kCodeYUY2);
    ASSERT_TRUE(black.ok);
    EXPECT_EQ(pixel(black.image, 0, 0), (std::vector<unsigned char>{0, 0, 0}));
    EXPECT_EQ(pixel(black.image, 1, 0), (std::vector<unsigned char>{0, 0, 0}));

    Decoded white = decode({235, 128, 235, 128}, 2, 1, cv::kCodeYUY2);
    ASSERT_TRUE(white.ok);
    EXPECT_EQ(pixel(white.image, 0, 0), (std::vector<unsigned char>{255, 255, 255}));

    // Y 81, U 90, V 240 is limited-range red: b = (298*65 - 516*38 + 128) >> 8
    // is negative, g = (19370 + 3800 - 23296 + 128) >> 8 = 0, r saturates.
    Decoded red = decode({81, 90, 81, 240}, 2, 1, cv::kCodeYUY2);
    ASSERT_TRUE(red.ok);
    EXPECT_EQ(pixel(red.image, 0, 0), (std::vector<unsigned char>{0, 0, 255}));
    // Y 41, U 240, V 110: blue (298*25 + 516*112 + 128) >> 8 = 255 (saturated),
    // green (7450 - 11200 + 3744 + 128) >> 8 = 0, red (7450 - 7362 + 128) >> 8 = 0.
    Decoded blue = decode({41, 240, 41, 110}, 2, 1, cv::kCodeYUY2);
    EXPECT_EQ(pixel(blue.image, 1, 0), (std::vector<unsigned char>{255, 0, 0}));
    // Luma below 16 counts as 16: (0, 128, 0, 128) is black, not negative.
    Decoded below = decode({0, 200, 0, 60}, 2, 1, cv::kCodeYUY2);
    Decoded at16 = decode({16, 200, 16, 60}, 2, 1, cv::kCodeYUY2);
    EXPECT_EQ(pixel(below.image, 0, 0), pixel(at16.image, 0, 0));
}

TEST(RawFrameDecoder, PackedByteOrdersAndOddWidths)
{
    struct Case
    {
        unsigned int code;
        std::vector<unsigned char> row;  // width 3: one group and a half group
        std::vector<std::vector<unsigned char>> expected;
    };
    // Neutral chroma in every complete group, so each pixel is the grey of
    // its own luma; the half group's first two bytes decide the last pixel.
    const std::vector<Case> cases = {
        {cv::kCodeYUY2, {50, 128, 100, 128, 150, 128}, {greyPixel(50), greyPixel(100), greyPixel(150)}},
        {cv::kCodeUYVY, {128, 50, 128, 100, 128, 150}, {greyPixel(50), greyPixel(100), greyPixel(150)}},
        {cv::kCodeYVYU, {50, 128, 100, 128, 150, 128}, {greyPixel(50), greyPixel(100), greyPixel(150)}},
    };
    for (const Case& c : cases) {
        Decoded d = decode(c.row, 3, 1, c.code);
        ASSERT_TRUE(d.ok);
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(pixel(d.image, x, 0), c.expected[x]) << c.code << " x " << x;
    }
    // Chroma position: U 240 in the U slot makes blue saturate, in the V slot red.
    const Decoded yuy2 = decode({81, 240, 81, 128}, 2, 1, cv::kCodeYUY2);
    const Decoded yvyu = decode({81, 128, 81, 240}, 2, 1, cv::kCodeYVYU);
    const Decoded uyvy = decode({240, 81, 128, 81}, 2, 1, cv::kCodeUYVY);
    EXPECT_EQ(pixel(yuy2.image, 0, 0)[0], 255);
    EXPECT_EQ(pixel(yvyu.image, 0, 0)[0], 255);
    EXPECT_EQ(pixel(uyvy.image, 1, 0)[0], 255);
    // Half group: YUY2 takes U from its second byte, UYVY from its first,
    // YVYU takes only the luma.
    EXPECT_EQ(pixel(decode({0, 0, 0, 0, 81, 240}, 3, 1, cv::kCodeYUY2).image, 2, 0)[0], 255);
    EXPECT_EQ(pixel(decode({0, 0, 0, 0, 240, 81}, 3, 1, cv::kCodeUYVY).image, 2, 0)[0], 255);
    EXPECT_EQ(pixel(decode({0, 0, 0, 0, 81, 240}, 3, 1, cv::kCodeYVYU).image, 2, 0), greyPixel(81));
}

TEST(RawFrameDecoder, StridesAndRowOrder)
{
    // YUY2, width 2, height 2, rows padded to 8 bytes.
    const std::vector<unsigned char> padded = {60, 128, 60, 128, 1, 2, 3, 4, 200, 128, 200, 128, 5, 6, 7, 8};
    Decoded d = decode(padded, 2, 2, cv::kCodeYUY2, 0, 8);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 0, 1), greyPixel(200));
    d = decode(padded, 2, 2, cv::kCodeYUY2, 0, -8, true);
    EXPECT_EQ(pixel(d.image, 0, 0), greyPixel(200));
    EXPECT_EQ(pixel(d.image, 0, 1), greyPixel(60));
    // A stride too small for a row falls back to the natural length, so row 1
    // is the bytes (1, 2, 3, 4): Y 1 (as 16), U 2, V 4 give green
    // (0 + 100*126 + 208*124 + 128) >> 8 = 150 and nothing else.
    const std::vector<unsigned char> paddingAsRow1{0, 150, 0};
    d = decode(padded, 2, 2, cv::kCodeYUY2, 0, 3);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 0, 1), paddingAsRow1);
    // A stride the buffer cannot hold at every row falls back as well.
    d = decode(padded, 2, 2, cv::kCodeYUY2, 0, 9);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 0, 1), paddingAsRow1);

    // 24-bit, width 3, height 2: 12-byte padded rows are found with stride 0.
    std::vector<unsigned char> rows24(24);
    for (int i = 0; i < 24; ++i)
        rows24[i] = static_cast<unsigned char>(i);
    d = decode(rows24, 3, 2, cv::kCodeBgr24);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 0, 1), (std::vector<unsigned char>{12, 13, 14}));
    const std::vector<unsigned char> tight(rows24.begin(), rows24.begin() + 18);
    d = decode(tight, 3, 2, cv::kCodeBitmap, 24);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 0, 1), (std::vector<unsigned char>{9, 10, 11}));
    d = decode(tight, 3, 2, cv::kCodeBitmap, 0, 0, true);
    EXPECT_EQ(pixel(d.image, 0, 0), (std::vector<unsigned char>{9, 10, 11}));

    // 32-bit drops the fourth byte; bottom-up reverses rows.
    const std::vector<unsigned char> rows32 = {1, 2, 3, 99, 4, 5, 6, 99};
    for (unsigned int code : {cv::kCodeBgr32, cv::kCodeBgrx32}) {
        d = decode(rows32, 1, 2, code, 0, 0, true);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(pixel(d.image, 0, 0), (std::vector<unsigned char>{4, 5, 6}));
        EXPECT_EQ(pixel(d.image, 0, 1), (std::vector<unsigned char>{1, 2, 3}));
    }
    d = decode(rows32, 2, 1, cv::kCodeBitmap, 32);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 1, 0), (std::vector<unsigned char>{4, 5, 6}));
    EXPECT_FALSE(decode(rows32, 2, 1, cv::kCodeBitmap, 16).ok);
    EXPECT_FALSE(decode(rows32, 2, 1, cv::fourccCode('R', 'G', 'B', '3')).ok);
}

TEST(RawFrameDecoder, FourTwoZeroLayouts)
{
    // NV12, width 3, height 2, stride 3: the last column's U/V pair would
    // reach past the row, so it counts as neutral.
    const std::vector<unsigned char> nv12 = {50, 60, 70, 80, 90, 100, 240, 128, 200, 0, 0, 0};
    Decoded d = decode(nv12, 3, 2, cv::kCodeNV12, 0, 3);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(pixel(d.image, 2, 1), greyPixel(100));
    EXPECT_GT(pixel(d.image, 0, 0)[0], grey(50));  // U 240 pushes blue up
    // The same picture at stride 4 (one padding byte a row).
    const std::vector<unsigned char> nv12Padded = {50, 60, 70, 0, 80, 90, 100, 0, 240, 128, 200, 77};
    Decoded p = decode(nv12Padded, 3, 2, cv::kCodeNV12, 0, 4);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(pixel(p.image, 0, 0), pixel(d.image, 0, 0));
    EXPECT_EQ(pixel(p.image, 1, 1), pixel(d.image, 1, 1));
    EXPECT_NE(pixel(p.image, 2, 1), greyPixel(100));  // now the pair (200, 77) fits the row

    // I420 and YV12 differ only in the order of the chroma planes.
    const std::vector<unsigned char> i420 = {50, 60, 70, 80, 90, 100, 200, 30, 10, 240};
    const std::vector<unsigned char> yv12 = {50, 60, 70, 80, 90, 100, 10, 240, 200, 30};
    const Decoded a = decode(i420, 3, 2, cv::kCodeI420);
    const Decoded b = decode(i420, 3, 2, cv::kCodeIYUV);
    const Decoded c = decode(yv12, 3, 2, cv::kCodeYV12);
    ASSERT_TRUE(a.ok && b.ok && c.ok);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(pixel(a.image, x, y), pixel(b.image, x, y));
            EXPECT_EQ(pixel(a.image, x, y), pixel(c.image, x, y));
        }
    // Columns 0-1 share chroma (200, 10), column 2 has (30, 240).
    EXPECT_NE(pixel(a.image, 1, 0), pixel(a.image, 2, 0));
}

TEST(RawFrameDecoder, OneByteShortFailsForEveryLayout)
{
    struct Case
    {
        const char* name;
        unsigned int code;
        unsigned short bitCount;
        int width, height, stride;
        std::size_t required;
    };
    const std::vector<Case> cases = {
        {"YUY2", cv::kCodeYUY2, 0, 5, 3, 0, 30},        {"UYVY", cv::kCodeUYVY, 0, 4, 3, 0, 24},
        {"YVYU strided", cv::kCodeYVYU, 0, 4, 3, 12, 24},  // 36 at the stride; short of that falls back
        {"NV12", cv::kCodeNV12, 0, 5, 3, 0, 25},        {"NV12 strided", cv::kCodeNV12, 0, 5, 3, 8, 25},
        {"I420", cv::kCodeI420, 0, 5, 3, 0, 27},        {"IYUV", cv::kCodeIYUV, 0, 4, 4, 0, 24},
        {"YV12", cv::kCodeYV12, 0, 1, 1, 0, 3},         {"BGR24", cv::kCodeBgr24, 0, 5, 3, 0, 45},
        {"DIB 24", cv::kCodeBitmap, 24, 3, 2, 0, 18},   {"BGR32", cv::kCodeBgr32, 0, 5, 3, 0, 60},
        {"BGRX32", cv::kCodeBgrx32, 0, 2, 2, 0, 16},    {"DIB 32", cv::kCodeBitmap, 32, 2, 2, 0, 16},
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> enough(c.required, 128);
        const std::vector<unsigned char> short1(c.required - 1, 128);
        EXPECT_TRUE(decode(enough, c.width, c.height, c.code, c.bitCount, c.stride).ok) << c.name;
        EXPECT_FALSE(decode(short1, c.width, c.height, c.code, c.bitCount, c.stride).ok) << c.name;
    }
}

TEST(RawFrameDecoder, RefusalsLeaveTheOutputAlone)
{
    const std::vector<unsigned char> bytes(64, 100);
    cv::Mat out(2, 2, 16, cv::Scalar(1, 2, 3));
    const unsigned char* before = out.data;
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(nullptr, 64, 2, 2, cv::kCodeYUY2, 0, 0, false, out));
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 0, 2, 2, cv::kCodeYUY2, 0, 0, false, out));
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, 0, 2, cv::kCodeYUY2, 0, 0, false, out));
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, 2, -1, cv::kCodeYUY2, 0, 0, false, out));
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, 2, 2, cv::fourccCode('H', '2', '6', '4'), 0, 0,
                                              false, out));
    // Huge claimed geometry with a small buffer: refused without allocating.
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, INT_MAX, INT_MAX, cv::kCodeBgr24, 0, INT_MIN, true,
                                              out));
    EXPECT_FALSE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, 16385, 1, cv::kCodeNV12, 0, 0, false, out));
    EXPECT_EQ(out.data, before);
    EXPECT_EQ(pixel(out, 1, 1), (std::vector<unsigned char>{1, 2, 3}));
    // A good decode replaces the output with a new image.
    EXPECT_TRUE(cv::decodeRawVideoFrameToBgr(bytes.data(), 64, 4, 4, cv::kCodeYUY2, 0, 0, false, out));
    EXPECT_EQ(out.rows, 4);
    EXPECT_NE(out.data, before);
}

TEST(RawFrameDecoder, RandomGeometryNeverReadsOutsideTheFrame)
{
    const std::vector<unsigned int> codes = {cv::kCodeYUY2, cv::kCodeUYVY, cv::kCodeYVYU, cv::kCodeNV12,
                                             cv::kCodeI420, cv::kCodeIYUV, cv::kCodeYV12, cv::kCodeBgr24,
                                             cv::kCodeBgr32, cv::kCodeBgrx32, cv::kCodeBitmap};
    std::mt19937 rng(7);
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        const unsigned int code = codes[rng() % codes.size()];
        const int width = static_cast<int>(rng() % 40) + 1;
        const int height = static_cast<int>(rng() % 40) + 1;
        const int stride = static_cast<int>(rng() % 200) - 100;
        const unsigned short bitCount = static_cast<unsigned short>((rng() % 5) * 8);
        const std::size_t size = rng() % 6000 + 1;
        std::vector<unsigned char> bytes(size);
        for (auto& b : bytes)
            b = static_cast<unsigned char>(rng());
        decoded += decode(bytes, width, height, code, bitCount, stride, rng() % 2).ok;
    }
    EXPECT_GT(decoded, 300);  // the random frames do exercise the decoders
}

TEST(RawFrameDecoder, MjpgDecodesWithQtAndIgnoresTheGeometry)
{
    QImage picture(32, 16, QImage::Format_RGB888);
    picture.fill(QColor(200, 40, 10));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&buffer, "JPEG", 95));
    const std::vector<unsigned char> bytes(jpeg.begin(), jpeg.end());

    const Decoded d = decode(bytes, 1, 1, cv::kCodeMJPG);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.image.cols, 32);
    EXPECT_EQ(d.image.rows, 16);
    const auto p = pixel(d.image, 16, 8);
    EXPECT_NEAR(p[0], 10, 6);
    EXPECT_NEAR(p[1], 40, 6);
    EXPECT_NEAR(p[2], 200, 6);

    std::vector<unsigned char> truncated(bytes.begin(), bytes.begin() + 20);
    EXPECT_FALSE(decode(truncated, 32, 16, cv::kCodeMJPG).ok);
    EXPECT_FALSE(decode(std::vector<unsigned char>(100, 0), 32, 16, cv::kCodeMJPG).ok);

    // Cut short inside the picture data: refused, and without the image
    // reader's complaint on standard error for every such frame.
    testing::internal::CaptureStderr();
    const std::vector<unsigned char> cutShort(bytes.begin(), bytes.end() - bytes.size() / 4);
    EXPECT_FALSE(decode(cutShort, 32, 16, cv::kCodeMJPG).ok);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    // Zeros after the end marker are the driver's padding, not damage.
    std::vector<unsigned char> padded = bytes;
    padded.resize(bytes.size() + 64, 0);
    EXPECT_TRUE(decode(padded, 32, 16, cv::kCodeMJPG).ok);
}
