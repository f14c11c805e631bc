#include "tests/vision/fake_v4l2_device.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

class FakeV4l2Device::GuardedBuffer
{
public:
    explicit GuardedBuffer(std::size_t length) : m_length(length)
    {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t dataPages = (length + page - 1) / page;
        m_total = (dataPages + 1) * page;
        void* base = ::mmap(nullptr, m_total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            std::abort();
        m_base = static_cast<unsigned char*>(base);
        ::mprotect(m_base + dataPages * page, page, PROT_NONE);
        m_data = m_base + dataPages * page - length;
    }
    ~GuardedBuffer() { ::munmap(m_base, m_total); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* data() const { return m_data; }
    std::size_t length() const { return m_length; }

private:
    unsigned char* m_base = nullptr;
    unsigned char* m_data = nullptr;
    std::size_t m_length = 0;
    std::size_t m_total = 0;
};

namespace {

constexpr std::uint32_t kOffsetUnit = 1u << 20;

void fillGeometry(v4l2_pix_format& format)
{
    const std::uint32_t w = format.width;
    const std::uint32_t h = format.height;
    switch (format.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
        format.bytesperline = 2 * w;
        format.sizeimage = 2 * w * h;
        break;
    case V4L2_PIX_FMT_BGR24:
    case V4L2_PIX_FMT_RGB24:
        format.bytesperline = 3 * w;
        format.sizeimage = 3 * w * h;
        break;
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
        format.bytesperline = w;
        format.sizeimage = w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
        break;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        format.bytesperline = 0;
        format.sizeimage = 2 * w * h;
        break;
    default:
        format.bytesperline = 4 * w;
        format.sizeimage = 4 * w * h;
        break;
    }
    format.field = V4L2_FIELD_NONE;
}

std::uint32_t distance(const FakeV4l2Device::FrameSize& size, std::uint32_t w, std::uint32_t h)
{
    const auto gap = [](std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; };
    return gap(size.width, w) + gap(size.height, h);
}

std::uint32_t onGrid(std::uint32_t wanted, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step)
{
    const std::uint32_t clamped = std::clamp(wanted, minimum, maximum);
    const std::uint32_t s = step ? step : 1;
    return std::min(maximum, minimum + (clamped - minimum + s / 2) / s * s);
}

} // namespace

FakeV4l2Device::FakeV4l2Device() = default;

FakeV4l2Device::~FakeV4l2Device() = default;

bool FakeV4l2Device::fails(Step step)
{
    const int calls = m_calls[step]++;
    if (failAt == step && calls >= failAfter) {
        errno = failErrno;
        return true;
    }
    return false;
}

bool FakeV4l2Device::knownDescriptor(int fd) const
{
    return m_open.count(fd) != 0;
}

const FakeV4l2Device::Format* FakeV4l2Device::findFormat(std::uint32_t pixelFormat) const
{
    for (const Format& format : formats)
        if (format.pixelFormat == pixelFormat)
            return &format;
    return nullptr;
}

v4l2_pix_format FakeV4l2Device::negotiate(const v4l2_pix_format& wanted) const
{
    v4l2_pix_format result{};
    result.pixelformat = wanted.pixelformat;
    result.width = wanted.width;
    result.height = wanted.height;
    const Format* native = findFormat(wanted.pixelformat);
    const bool converts =
        std::find(convertible.begin(), convertible.end(), wanted.pixelformat) != convertible.end();
    if (!native && !converts) {
        if (formats.empty())
            return m_current;
        // Like a driver: substitute a layout of its own.
        native = &formats.front();
        result.pixelformat = native->pixelFormat;
    }
    if (native) {
        if (native->stepwise) {
            const v4l2_frmsize_stepwise& s = *native->stepwise;
            result.width = onGrid(wanted.width, s.min_width, s.max_width, s.step_width);
            result.height = onGrid(wanted.height, s.min_height, s.max_height, s.step_height);
        } else if (!native->sizes.empty()) {
            const FrameSize* nearest = &native->sizes.front();
            for (const FrameSize& size : native->sizes)
                if (distance(size, wanted.width, wanted.height) < distance(*nearest, wanted.width, wanted.height))
                    nearest = &size;
            result.width = nearest->width;
            result.height = nearest->height;
        }
    }
    fillGeometry(result);
    return result;
}

int FakeV4l2Device::open(const char* path, int /*flags*/)
{
    ++m_opens;
    if (std::string(path) != "/dev/video" + std::to_string(index)) {
        errno = ENOENT;
        return -1;
    }
    if (fails(Step::Open))
        return -1;
    if (m_current.pixelformat == 0 && !formats.empty()) {
        v4l2_pix_format first{};
        first.pixelformat = formats.front().pixelFormat;
        if (!formats.front().sizes.empty()) {
            first.width = formats.front().sizes.front().width;
            first.height = formats.front().sizes.front().height;
        } else if (formats.front().stepwise) {
            first.width = formats.front().stepwise->min_width;
            first.height = formats.front().stepwise->min_height;
        }
        m_current = negotiate(first);
    }
    const int fd = m_nextFd++;
    m_open.insert(fd);
    return fd;
}

int FakeV4l2Device::close(int fd)
{
    if (!knownDescriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    m_open.erase(fd);
    // Closing the last descriptor ends streaming and frees unmapped buffers.
    if (m_open.empty()) {
        m_streaming = false;
        m_queued.clear();
        if (m_mapped.empty())
            m_buffers.clear();
    }
    return 0;
}

int FakeV4l2Device::ioctl(int fd, unsigned long request, void* argument)
{
    if (!knownDescriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    switch (request) {
    case VIDIOC_QUERYCAP: {
        if (fails(Step::QueryCap))
            return -1;
        auto* capability = static_cast<v4l2_capability*>(argument);
        *capability = v4l2_capability{};
        std::strcpy(reinterpret_cast<char*>(capability->driver), "fake");
        std::strncpy(reinterpret_cast<char*>(capability->card), card.c_str(), sizeof capability->card - 1);
        capability->capabilities = capabilities | V4L2_CAP_DEVICE_CAPS;
        capability->device_caps = capabilities;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        if (fails(Step::EnumFormat))
            return -1;
        auto* description = static_cast<v4l2_fmtdesc*>(argument);
        if (description->index >= formats.size()) {
            errno = EINVAL;
            return -1;
        }
        description->pixelformat = formats[description->index].pixelFormat;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        if (fails(Step::EnumFrameSizes))
            return -1;
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        const Format* format = findFormat(size->pixel_format);
        if (format && format->stepwise && size->index == 0) {
            size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            size->stepwise = *format->stepwise;
            return 0;
        }
        if (!format || format->stepwise || size->index >= format->sizes.size()) {
            errno = EINVAL;
            return -1;
        }
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = format->sizes[size->index].width;
        size->discrete.height = format->sizes[size->index].height;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        if (fails(Step::EnumFrameIntervals))
            return -1;
        auto* interval = static_cast<v4l2_frmivalenum*>(argument);
        const Format* format = findFormat(interval->pixel_format);
        if (format) {
            for (const FrameSize& size : format->sizes) {
                if (size.width == interval->width && size.height == interval->height &&
                    interval->index < size.intervals.size()) {
                    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                    interval->discrete = size.intervals[interval->index];
                    return 0;
                }
            }
        }
        errno = EINVAL;
        return -1;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto* format = static_cast<v4l2_format*>(argument);
        if (request == VIDIOC_S_FMT) {
            formatRequests.push_back(format->fmt.pix);
            if (fails(Step::SetFormat))
                return -1;
            if (!m_buffers.empty()) {
                errno = EBUSY;
                return -1;
            }
        }
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            errno = EINVAL;
            return -1;
        }
        const v4l2_pix_format result = negotiate(format->fmt.pix);
        format->fmt.pix = result;
        if (request == VIDIOC_S_FMT)
            m_current = result;
        return 0;
    }
    case VIDIOC_G_FMT: {
        if (fails(Step::GetFormat))
            return -1;
        auto* format = static_cast<v4l2_format*>(argument);
        format->fmt.pix = m_current;
        return 0;
    }
    case VIDIOC_S_PARM: {
        if (fails(Step::SetParameters))
            return -1;
        rateRequests.push_back(static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe);
        return 0;
    }
    default:
        return bufferIoctl(request, argument);
    }
}

int FakeV4l2Device::bufferIoctl(unsigned long request, void* argument)
{
    switch (request) {
    case VIDIOC_REQBUFS: {
        auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
        if (buffers->count == 0) {
            if (m_streaming || !m_mapped.empty()) {
                errno = EBUSY;
                return -1;
            }
            freeBuffers();
            return 0;
        }
        if (fails(Step::RequestBuffers))
            return -1;
        if (buffers->memory != V4L2_MEMORY_MMAP || !m_buffers.empty()) {
            errno = buffers->memory != V4L2_MEMORY_MMAP ? EINVAL : EBUSY;
            return -1;
        }
        buffers->count = std::min(buffers->count, grantedBuffers);
        for (std::uint32_t i = 0; i < buffers->count; ++i)
            m_buffers.push_back(std::make_unique<GuardedBuffer>(std::max<std::uint32_t>(m_current.sizeimage, 1)));
        return 0;
    }
    case VIDIOC_QUERYBUF: {
        if (fails(Step::QueryBuffer))
            return -1;
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= m_buffers.size()) {
            errno = EINVAL;
            return -1;
        }
        buffer->length = static_cast<std::uint32_t>(m_buffers[buffer->index]->length());
        buffer->m.offset = buffer->index * kOffsetUnit;
        return 0;
    }
    case VIDIOC_QBUF: {
        if (fails(Step::QueueBuffer))
            return -1;
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= m_buffers.size() ||
            std::find(m_queued.begin(), m_queued.end(), buffer->index) != m_queued.end()) {
            errno = EINVAL;
            return -1;
        }
        m_queued.push_back(buffer->index);
        return 0;
    }
    case VIDIOC_DQBUF: {
        if (fails(Step::DequeueBuffer))
            return -1;
        if (!m_streaming || !frameReady()) {
            errno = EAGAIN;
            return -1;
        }
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        const std::uint32_t slot = m_queued.front();
        m_queued.pop_front();
        const bool flagged = errorFrames.count(m_framesServed) != 0;
        std::vector<unsigned char> bytes = nextFrame();
        GuardedBuffer& target = *m_buffers[slot];
        const std::size_t copied = std::min(bytes.size(), target.length());
        std::memcpy(target.data(), bytes.data(), copied);
        *buffer = v4l2_buffer{};
        buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer->memory = V4L2_MEMORY_MMAP;
        buffer->index = slot;
        buffer->bytesused = bytesUsedOverride ? *bytesUsedOverride : static_cast<std::uint32_t>(copied);
        buffer->flags = flagged ? V4L2_BUF_FLAG_ERROR : 0;
        return 0;
    }
    case VIDIOC_STREAMON:
        if (fails(Step::StreamOn))
            return -1;
        if (m_buffers.empty()) {
            errno = EINVAL;
            return -1;
        }
        m_streaming = true;
        return 0;
    case VIDIOC_STREAMOFF:
        m_streaming = false;
        m_queued.clear();
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
}

void FakeV4l2Device::freeBuffers()
{
    m_queued.clear();
    m_buffers.clear();
}

bool FakeV4l2Device::frameReady() const
{
    return m_framesServed < framesAvailable && static_cast<bool>(frameSource);
}

void FakeV4l2Device::switchFormatWhileStreaming(std::uint32_t pixelFormat, std::uint32_t width,
                                                std::uint32_t height)
{
    m_current.pixelformat = pixelFormat;
    m_current.width = width;
    m_current.height = height;
    fillGeometry(m_current);
}

std::vector<unsigned char> FakeV4l2Device::nextFrame()
{
    return frameSource(m_current, m_framesServed++);
}

void* FakeV4l2Device::mmap(void* /*address*/, std::size_t length, int /*protection*/, int /*flags*/, int fd,
                           off_t offset)
{
    if (!knownDescriptor(fd)) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (fails(Step::Map))
        return MAP_FAILED;
    const std::size_t slot = static_cast<std::size_t>(offset) / kOffsetUnit;
    if (slot >= m_buffers.size() || length != m_buffers[slot]->length()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* start = m_buffers[slot]->data();
    m_mapped[start] = length;
    return start;
}

int FakeV4l2Device::munmap(void* address, std::size_t length)
{
    const auto mapping = m_mapped.find(address);
    if (mapping == m_mapped.end() || mapping->second != length) {
        errno = EINVAL;
        return -1;
    }
    m_mapped.erase(mapping);
    return 0;
}

int FakeV4l2Device::poll(pollfd* fds, nfds_t count, int /*timeoutMs*/)
{
    ++m_polls;
    if (fails(Step::Poll))
        return -1;
    if (count != 1 || !knownDescriptor(fds[0].fd)) {
        errno = EINVAL;
        return -1;
    }
    fds[0].revents = 0;
    if (m_streaming && m_queued.empty()) {
        fds[0].revents = POLLERR;
        return 1;
    }
    const bool readable = m_streaming || (capabilities & V4L2_CAP_READWRITE);
    if (readable && frameReady()) {
        fds[0].revents = POLLIN;
        return 1;
    }
    return 0;  // the wait ran out (at once: tests need not sleep)
}

ssize_t FakeV4l2Device::read(int fd, void* buffer, std::size_t count)
{
    if (!knownDescriptor(fd)) {
        errno = EBADF;
        return -1;
    }
    if (fails(Step::Read))
        return -1;
    if (!(capabilities & V4L2_CAP_READWRITE)) {
        errno = EINVAL;
        return -1;
    }
    if (!frameReady()) {
        errno = EAGAIN;
        return -1;
    }
    const std::vector<unsigned char> bytes = nextFrame();
    const std::size_t copied = std::min(bytes.size(), count);
    std::memcpy(buffer, bytes.data(), copied);
    return static_cast<ssize_t>(copied);
}

std::vector<unsigned char> yuyvFrame(const v4l2_pix_format& format, unsigned char y)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(format.bytesperline) * format.height);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        bytes[i] = y;
        bytes[i + 1] = 128;
    }
    return bytes;
}

std::vector<unsigned char> bgr24Frame(const v4l2_pix_format& format, unsigned char b, unsigned char g,
                                      unsigned char r)
{
    std::vector<unsigned char> bytes(static_cast<std::size_t>(format.bytesperline) * format.height);
    for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
        bytes[i] = b;
        bytes[i + 1] = g;
        bytes[i + 2] = r;
    }
    return bytes;
}
