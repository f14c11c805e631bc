#pragma once

#include "vision/v4l2_system.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace cv {

// One native camera format: a pixel layout at one frame size and, when the
// driver tells, one frame rate (frames per second as a fraction).
struct V4l2NativeFormat
{
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    bool hasRate = false;
    std::uint32_t rateNumerator = 0;
    std::uint32_t rateDenominator = 0;
};

// The format the driver is delivering now.
struct V4l2CurrentFormat
{
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    std::uint32_t sizeImage = 0;
};

// The decoder's pixel-format code for a V4L2 pixel format; layouts the
// decoder cannot read keep their own four-character code.
unsigned int decoderCodeForPixelFormat(std::uint32_t pixelFormat);

// One open /dev/video<index> device: its formats, its streaming buffers and
// its read() path. Owns the descriptor and every mapping; the destructor
// stops streaming, unmaps and closes. Every call goes through V4l2System.
class V4l2Camera
{
public:
    enum class Io
    {
        Streaming,  // memory-mapped buffers
        ReadWrite,  // plain read() of one frame
    };
    enum class SampleResult
    {
        Frame,    // one frame was handed to the consumer
        NoFrame,  // nothing within the wait, or the driver flagged the frame bad
        Failed,   // the device is no longer usable
    };
    using FrameConsumer = std::function<void(const unsigned char* bytes, std::size_t size)>;

    explicit V4l2Camera(V4l2System& system);
    ~V4l2Camera();
    V4l2Camera(const V4l2Camera&) = delete;
    V4l2Camera& operator=(const V4l2Camera&) = delete;

    // Opens the device when it is a video capture device that supports `io`.
    bool open(int index, Io io);
    void close();
    bool isOpen() const { return m_fd >= 0; }

    // Every (layout, size, rate) the driver offers. Stepwise or continuous
    // size and rate ranges contribute the point nearest the request.
    std::vector<V4l2NativeFormat> nativeFormats(int requestedWidth, int requestedHeight, double requestedFps);

    // Asks for a layout and size; true when the driver kept the layout.
    bool setFormat(std::uint32_t pixelFormat, int width, int height);
    // Asks for a frame rate (frames per second as a fraction).
    bool setFrameRate(std::uint32_t numerator, std::uint32_t denominator);
    bool currentFormat(V4l2CurrentFormat& format);

    bool startStreaming();
    void stopStreaming();
    bool isStreaming() const { return m_streaming; }

    // Waits at most timeoutMs for a streamed frame and hands it to `consume`
    // while it is still in the driver's buffer.
    SampleResult readSample(int timeoutMs, const FrameConsumer& consume);
    // The read() path: one frame into `frame` (resized to the bytes read).
    SampleResult readFrame(int timeoutMs, std::vector<unsigned char>& frame);

private:
    struct MappedBuffer
    {
        void* start = nullptr;
        std::size_t length = 0;
    };

    bool waitReadable(int timeoutMs, SampleResult& result);
    void releaseBuffers();
    void appendSizes(std::uint32_t pixelFormat, int requestedWidth, int requestedHeight, double requestedFps,
                     std::vector<V4l2NativeFormat>& formats);
    void appendRates(const V4l2NativeFormat& base, double requestedFps, std::vector<V4l2NativeFormat>& formats);

    V4l2System& m_system;
    int m_fd = -1;
    std::vector<MappedBuffer> m_buffers;
    bool m_buffersRequested = false;
    bool m_streaming = false;
};

} // namespace cv
