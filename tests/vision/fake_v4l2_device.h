#pragma once

#include "vision/v4l2_system.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A V4L2 camera in memory behind the capture backend's system-call seam:
// it offers chosen formats, serves frames from a generator, behaves like a
// driver where the backend depends on it (S_FMT substitutes, EBUSY while
// buffers exist, POLLERR without queued buffers) and can fail any step.
class FakeV4l2Device : public cv::V4l2System
{
public:
    enum class Step
    {
        None,
        Open,
        QueryCap,
        EnumFormat,
        EnumFrameSizes,
        EnumFrameIntervals,
        SetFormat,
        GetFormat,
        SetParameters,
        RequestBuffers,
        QueryBuffer,
        Map,
        QueueBuffer,
        StreamOn,
        Poll,
        DequeueBuffer,
        Read,
    };

    struct FrameSize
    {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::vector<v4l2_fract> intervals;  // seconds per frame; empty: none listed
    };
    struct Format
    {
        std::uint32_t pixelFormat = 0;
        std::vector<FrameSize> sizes;
        std::optional<v4l2_frmsize_stepwise> stepwise;  // instead of sizes
    };
    using FrameSource = std::function<std::vector<unsigned char>(const v4l2_pix_format& format, int frameNumber)>;

    FakeV4l2Device();
    ~FakeV4l2Device() override;

    // Configuration, set before the capture object opens the device.
    int index = 0;
    std::uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::string card = "Fake Camera";
    std::vector<Format> formats;
    std::vector<std::uint32_t> convertible;  // layouts produced at any size on request
    FrameSource frameSource;
    int framesAvailable = 1 << 30;
    std::uint32_t grantedBuffers = 4;
    std::optional<std::uint32_t> bytesUsedOverride;
    std::set<int> errorFrames;  // frame numbers delivered with V4L2_BUF_FLAG_ERROR
    Step failAt = Step::None;
    int failErrno = EIO;
    int failAfter = 0;  // successful calls of that step before it fails

    // Observation.
    std::vector<v4l2_pix_format> formatRequests;  // every S_FMT as asked
    std::vector<v4l2_fract> rateRequests;         // every S_PARM time per frame
    int openDescriptors() const { return static_cast<int>(m_open.size()); }
    int mappedBuffers() const { return static_cast<int>(m_mapped.size()); }
    bool streaming() const { return m_streaming; }
    int framesServed() const { return m_framesServed; }
    int polls() const { return m_polls; }
    int opens() const { return m_opens; }
    const v4l2_pix_format& current() const { return m_current; }
    // What a capture card does when its source changes: the format switches
    // under a running stream, buffers and all (`width` x `height` must fit
    // them).
    void switchFormatWhileStreaming(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height);

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(void* address, std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    ssize_t read(int fd, void* buffer, std::size_t count) override;

private:
    // Frame memory that ends at an inaccessible page, so that a read past a
    // buffer crashes the test.
    class GuardedBuffer;

    bool fails(Step step);
    bool knownDescriptor(int fd) const;
    v4l2_pix_format negotiate(const v4l2_pix_format& wanted) const;
    const Format* findFormat(std::uint32_t pixelFormat) const;
    int bufferIoctl(unsigned long request, void* argument);
    bool frameReady() const;
    void freeBuffers();
    std::vector<unsigned char> nextFrame();

    std::set<int> m_open;
    int m_nextFd = 100;
    int m_opens = 0;
    std::map<Step, int> m_calls;
    v4l2_pix_format m_current{};
    std::vector<std::unique_ptr<GuardedBuffer>> m_buffers;
    std::deque<std::uint32_t> m_queued;
    std::map<void*, std::size_t> m_mapped;
    bool m_streaming = false;
    int m_framesServed = 0;
    int m_polls = 0;
};

// Frame generators for common layouts: every pixel has luma `y` (YUYV) or
// the given bytes (BGR24).
std::vector<unsigned char> yuyvFrame(const v4l2_pix_format& format, unsigned char y);
std::vector<unsigned char> bgr24Frame(const v4l2_pix_format& format, unsigned char b, unsigned char g,
                                      unsigned char r);
