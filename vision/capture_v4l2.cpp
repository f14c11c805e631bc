#include "vision/capture_v4l2.h"

#include "vision/raw_frame_decoder.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <string>

namespace cv {

namespace {

// Four buffers let the driver fill one while we decode another, without
// holding more than a few frames of latency.
constexpr std::uint32_t kRequestedBuffers = 4;
// Drivers may grant more than asked; we map at most this many.
constexpr std::uint32_t kMaxMappedBuffers = 32;
// Enumeration ends where the driver says so; the bound only protects us
// from a driver that never does.
constexpr std::uint32_t kMaxEnumerated = 256;
// Largest frame the read() path will take (a 16384-pixel-a-side 32-bit frame).
constexpr std::size_t kMaxReadFrameBytes = std::size_t(16384) * 16384 * 4;
// Rates from a stepwise or continuous range are expressed in thousandths.
constexpr std::uint32_t kRateScale = 1000;

bool fitsInt(std::uint32_t v)
{
    return v > 0 && v <= static_cast<std::uint32_t>(INT_MAX);
}

// The point of [minimum, maximum] on the driver's step grid nearest `wanted`.
std::uint32_t nearestOnGrid(int wanted, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step)
{
    if (maximum < minimum)
        maximum = minimum;
    const double clamped = std::clamp(static_cast<double>(std::max(wanted, 0)), static_cast<double>(minimum),
                                      static_cast<double>(maximum));
    const double gridStep = step == 0 ? 1.0 : static_cast<double>(step);
    const double steps = std::floor((clamped - minimum) / gridStep + 0.5);
    const double value = std::min(static_cast<double>(minimum) + steps * gridStep, static_cast<double>(maximum));
    return static_cast<std::uint32_t>(value);
}

} // namespace

unsigned int decoderCodeForPixelFormat(std::uint32_t pixelFormat)
{
    switch (pixelFormat) {
    case V4L2_PIX_FMT_YUYV:
        return kCodeYUY2;
    case V4L2_PIX_FMT_UYVY:
        return kCodeUYVY;
    case V4L2_PIX_FMT_YVYU:
        return kCodeYVYU;
    case V4L2_PIX_FMT_NV12:
        return kCodeNV12;
    case V4L2_PIX_FMT_YUV420:
        return kCodeI420;
    case V4L2_PIX_FMT_YVU420:
        return kCodeYV12;
    case V4L2_PIX_FMT_BGR24:
        return kCodeBgr24;
    case V4L2_PIX_FMT_BGR32:
        return kCodeBgr32;
    case V4L2_PIX_FMT_XBGR32:
        return kCodeBgrx32;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return kCodeMJPG;
    default:
        return pixelFormat;
    }
}

V4l2Camera::V4l2Camera(V4l2System& system) : m_system(system) {}

V4l2Camera::~V4l2Camera()
{
    close();
}

bool V4l2Camera::open(int index, Io io)
{
    close();
    if (index < 0)
        return false;
    const std::string path = "/dev/video" + std::to_string(index);
    // Non-blocking: every wait is a bounded poll, never a stuck read.
    m_fd = m_system.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        m_fd = -1;
        return false;
    }
    v4l2_capability capability{};
    if (m_system.ioctl(m_fd, VIDIOC_QUERYCAP, &capability) != 0) {
        close();
        return false;
    }
    const std::uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    const std::uint32_t ioCapability = io == Io::Streaming ? V4L2_CAP_STREAMING : V4L2_CAP_READWRITE;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & ioCapability)) {
        close();
        return false;
    }
    return true;
}

void V4l2Camera::close()
{
    stopStreaming();
    if (m_fd >= 0) {
        // Nothing useful can be done about a failing close of a device.
        m_system.close(m_fd);
        m_fd = -1;
    }
}

std::vector<V4l2NativeFormat> V4l2Camera::nativeFormats(int requestedWidth, int requestedHeight,
                                                        double requestedFps)
{
    std::vector<V4l2NativeFormat> formats;
    if (m_fd < 0)
        return formats;
    for (std::uint32_t i = 0; i < kMaxEnumerated; ++i) {
        v4l2_fmtdesc description{};
        description.index = i;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (m_system.ioctl(m_fd, VIDIOC_ENUM_FMT, &description) != 0)
            break;
        appendSizes(description.pixelformat, requestedWidth, requestedHeight, requestedFps, formats);
    }
    return formats;
}

void V4l2Camera::appendSizes(std::uint32_t pixelFormat, int requestedWidth, int requestedHeight,
                             double requestedFps, std::vector<V4l2NativeFormat>& formats)
{
    V4l2NativeFormat base;
    base.pixelFormat = pixelFormat;
    v4l2_frmsizeenum size{};
    size.index = 0;
    size.pixel_format = pixelFormat;
    if (m_system.ioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
        // No size list: ask what the driver would make of the request.
        v4l2_format trial{};
        trial.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        trial.fmt.pix.pixelformat = pixelFormat;
        trial.fmt.pix.width = static_cast<std::uint32_t>(std::max(requestedWidth, 1));
        trial.fmt.pix.height = static_cast<std::uint32_t>(std::max(requestedHeight, 1));
        trial.fmt.pix.field = V4L2_FIELD_ANY;
        if (m_system.ioctl(m_fd, VIDIOC_TRY_FMT, &trial) != 0 || trial.fmt.pix.pixelformat != pixelFormat ||
            !fitsInt(trial.fmt.pix.width) || !fitsInt(trial.fmt.pix.height))
            return;
        base.width = static_cast<int>(trial.fmt.pix.width);
        base.height = static_cast<int>(trial.fmt.pix.height);
        appendRates(base, requestedFps, formats);
        return;
    }
    if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
        const std::uint32_t width = nearestOnGrid(requestedWidth, size.stepwise.min_width, size.stepwise.max_width,
                                                  size.stepwise.step_width);
        const std::uint32_t height = nearestOnGrid(requestedHeight, size.stepwise.min_height,
                                                   size.stepwise.max_height, size.stepwise.step_height);
        if (!fitsInt(width) || !fitsInt(height))
            return;
        base.width = static_cast<int>(width);
        base.height = static_cast<int>(height);
        appendRates(base, requestedFps, formats);
        return;
    }
    for (std::uint32_t j = 0; j < kMaxEnumerated; ++j) {
        if (j > 0) {
            size = v4l2_frmsizeenum{};
            size.index = j;
            size.pixel_format = pixelFormat;
            if (m_system.ioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
                break;
        }
        if (!fitsInt(size.discrete.width) || !fitsInt(size.discrete.height))
            continue;
        base.width = static_cast<int>(size.discrete.width);
        base.height = static_cast<int>(size.discrete.height);
        appendRates(base, requestedFps, formats);
    }
}

void V4l2Camera::appendRates(const V4l2NativeFormat& base, double requestedFps,
                             std::vector<V4l2NativeFormat>& formats)
{
    v4l2_frmivalenum interval{};
    interval.index = 0;
    interval.pixel_format = base.pixelFormat;
    interval.width = static_cast<std::uint32_t>(base.width);
    interval.height = static_cast<std::uint32_t>(base.height);
    if (m_system.ioctl(m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) {
        formats.push_back(base);  // no rate known: ranked as 30 frames per second
        return;
    }
    if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
        // A range of intervals (seconds per frame): the rate nearest the request.
        const v4l2_fract shortest = interval.stepwise.min;
        const v4l2_fract longest = interval.stepwise.max;
        const double fastest = shortest.numerator ? double(shortest.denominator) / shortest.numerator : 0.0;
        const double slowest = longest.numerator ? double(longest.denominator) / longest.numerator : 0.0;
        V4l2NativeFormat format = base;
        format.hasRate = true;
        const double rate = std::clamp(requestedFps, std::min(slowest, fastest), std::max(slowest, fastest));
        format.rateNumerator = static_cast<std::uint32_t>(std::lround(std::min(rate, 1e6) * kRateScale));
        format.rateDenominator = kRateScale;
        formats.push_back(format);
        return;
    }
    for (std::uint32_t k = 0; k < kMaxEnumerated; ++k) {
        if (k > 0) {
            interval = v4l2_frmivalenum{};
            interval.index = k;
            interval.pixel_format = base.pixelFormat;
            interval.width = static_cast<std::uint32_t>(base.width);
            interval.height = static_cast<std::uint32_t>(base.height);
            if (m_system.ioctl(m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0 ||
                interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
                break;
        }
        V4l2NativeFormat format = base;
        format.hasRate = true;
        // An interval is seconds per frame; the rate is its inverse.
        format.rateNumerator = interval.discrete.denominator;
        format.rateDenominator = interval.discrete.numerator;
        formats.push_back(format);
    }
}

bool V4l2Camera::setFormat(std::uint32_t pixelFormat, int width, int height)
{
    if (m_fd < 0 || width < 1 || height < 1)
        return false;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.width = static_cast<std::uint32_t>(width);
    format.fmt.pix.height = static_cast<std::uint32_t>(height);
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (m_system.ioctl(m_fd, VIDIOC_S_FMT, &format) != 0)
        return false;
    // Drivers never refuse a format outright: they substitute one they have.
    return format.fmt.pix.pixelformat == pixelFormat;
}

bool V4l2Camera::setFrameRate(std::uint32_t numerator, std::uint32_t denominator)
{
    if (m_fd < 0 || numerator == 0 || denominator == 0)
        return false;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe.numerator = denominator;
    parameters.parm.capture.timeperframe.denominator = numerator;
    return m_system.ioctl(m_fd, VIDIOC_S_PARM, &parameters) == 0;
}

bool V4l2Camera::currentFormat(V4l2CurrentFormat& current)
{
    if (m_fd < 0)
        return false;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_system.ioctl(m_fd, VIDIOC_G_FMT, &format) != 0)
        return false;
    current = V4l2CurrentFormat{};
    current.pixelFormat = format.fmt.pix.pixelformat;
    current.width = fitsInt(format.fmt.pix.width) ? static_cast<int>(format.fmt.pix.width) : 0;
    current.height = fitsInt(format.fmt.pix.height) ? static_cast<int>(format.fmt.pix.height) : 0;
    current.bytesPerLine = fitsInt(format.fmt.pix.bytesperline) ? static_cast<int>(format.fmt.pix.bytesperline) : 0;
    current.sizeImage = format.fmt.pix.sizeimage;
    return true;
}

bool V4l2Camera::startStreaming()
{
    if (m_fd < 0)
        return false;
    if (m_streaming)
        return true;
    v4l2_requestbuffers request{};
    request.count = kRequestedBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (m_system.ioctl(m_fd, VIDIOC_REQBUFS, &request) != 0)
        return false;
    m_buffersRequested = true;
    const std::uint32_t count = std::min(request.count, kMaxMappedBuffers);
    if (count == 0) {
        releaseBuffers();
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (m_system.ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) != 0 || buffer.length == 0) {
            releaseBuffers();
            return false;
        }
        void* start = m_system.mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd,
                                    static_cast<off_t>(buffer.m.offset));
        if (start == MAP_FAILED) {
            releaseBuffers();
            return false;
        }
        m_buffers.push_back({start, buffer.length});
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (m_system.ioctl(m_fd, VIDIOC_QBUF, &buffer) != 0) {
            releaseBuffers();
            return false;
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_system.ioctl(m_fd, VIDIOC_STREAMON, &type) != 0) {
        releaseBuffers();
        return false;
    }
    m_streaming = true;
    return true;
}

void V4l2Camera::stopStreaming()
{
    if (m_streaming) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        // Stopping cannot be retried meaningfully; freeing the buffers below
        // ends the stream in any case.
        m_system.ioctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
    }
    releaseBuffers();
}

void V4l2Camera::releaseBuffers()
{
    for (const MappedBuffer& buffer : m_buffers)
        m_system.munmap(buffer.start, buffer.length);
    m_buffers.clear();
    if (m_buffersRequested && m_fd >= 0) {
        // Count 0 hands the buffers back so that the format can change.
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        m_system.ioctl(m_fd, VIDIOC_REQBUFS, &request);
    }
    m_buffersRequested = false;
}

bool V4l2Camera::waitReadable(int timeoutMs, SampleResult& result)
{
    pollfd waiter{};
    waiter.fd = m_fd;
    waiter.events = POLLIN;
    const int ready = m_system.poll(&waiter, 1, timeoutMs);
    if (ready < 0) {
        result = errno == EINTR ? SampleResult::NoFrame : SampleResult::Failed;
        return false;
    }
    if (ready == 0) {
        result = SampleResult::NoFrame;
        return false;
    }
    if (waiter.revents & POLLIN)
        return true;
    // POLLERR also means "no buffer queued": the stream cannot go on.
    result = (waiter.revents & (POLLERR | POLLHUP | POLLNVAL)) ? SampleResult::Failed : SampleResult::NoFrame;
    return false;
}

V4l2Camera::SampleResult V4l2Camera::readSample(int timeoutMs, const FrameConsumer& consume)
{
    if (m_fd < 0 || !m_streaming)
        return SampleResult::Failed;
    SampleResult result = SampleResult::NoFrame;
    if (!waitReadable(timeoutMs, result))
        return result;
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (m_system.ioctl(m_fd, VIDIOC_DQBUF, &buffer) != 0) {
        // EIO is a transient loss of signal; EAGAIN a wake-up without a frame.
        return (errno == EAGAIN || errno == EINTR || errno == EIO) ? SampleResult::NoFrame : SampleResult::Failed;
    }
    if (buffer.index >= m_buffers.size())
        return SampleResult::Failed;
    const MappedBuffer& mapped = m_buffers[buffer.index];
    if (buffer.flags & V4L2_BUF_FLAG_ERROR) {
        result = SampleResult::NoFrame;
    } else {
        // Never trust bytesused past the mapping: the decoder reads all of it.
        const std::size_t bytes = std::min<std::size_t>(buffer.bytesused, mapped.length);
        consume(static_cast<const unsigned char*>(mapped.start), bytes);
        result = SampleResult::Frame;
    }
    // A buffer that cannot be queued again is lost to the stream; once none
    // is left the next poll reports an error and the read fails then.
    m_system.ioctl(m_fd, VIDIOC_QBUF, &buffer);
    return result;
}

V4l2Camera::SampleResult V4l2Camera::readFrame(int timeoutMs, std::vector<unsigned char>& frame)
{
    if (m_fd < 0)
        return SampleResult::Failed;
    V4l2CurrentFormat format;
    if (!currentFormat(format))
        return SampleResult::Failed;
    std::size_t capacity = format.sizeImage;
    if (capacity == 0 && format.height > 0) {
        // No size from the driver: room for four bytes a pixel, or a row.
        const std::size_t row = std::max<std::size_t>(static_cast<std::size_t>(format.bytesPerLine),
                                                      static_cast<std::size_t>(format.width) * 4u);
        const std::size_t rows = static_cast<std::size_t>(format.height);
        capacity = row > kMaxReadFrameBytes / rows ? kMaxReadFrameBytes : row * rows;
    }
    capacity = std::min(capacity, kMaxReadFrameBytes);
    if (capacity == 0)
        return SampleResult::Failed;
    SampleResult result = SampleResult::NoFrame;
    if (!waitReadable(timeoutMs, result))
        return result;
    frame.resize(capacity);
    const ssize_t got = m_system.read(m_fd, frame.data(), capacity);
    if (got < 0) {
        frame.clear();
        return (errno == EAGAIN || errno == EINTR || errno == EIO) ? SampleResult::NoFrame : SampleResult::Failed;
    }
    frame.resize(std::min(static_cast<std::size_t>(got), capacity));
    return frame.empty() ? SampleResult::NoFrame : SampleResult::Frame;
}

} // namespace cv
