#include "vision/video_capture.h"

#include "vision/capture_ffmpeg.h"
#include "vision/capture_v4l2.h"
#include "vision/v4l2_system.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cv {

namespace {

const char* const kDisableCameraVariable = "KESTRO_DISABLE_AUTO_CAMERA";

constexpr int kReadAttempts = 30;
// How long a read waits for a file's or stream's next frame: longer than
// the interval of any usual frame rate, short enough that a stalled stream
// keeps the camera thread's picture moving.
constexpr int kMediaReadWaitMs = 250;
constexpr std::chrono::milliseconds kNoSamplePause{10};
// A bounded wait for each attempt, so that a camera that stops delivering
// makes read() give up after about 30 x 60 ms instead of blocking forever.
constexpr int kSampleWaitMs = 50;
constexpr double kFpsTolerance = 0.1;
constexpr double kDefaultRankingFps = 30.0;

// Outputs the decoder reads, asked for in this order when the camera's
// best native layout is one it cannot read (32-bit BGRX, 24-bit BGR, YUY2,
// NV12). 32-bit BGRX has two V4L2 names; both are tried.
const std::uint32_t kConversionFallbacks[] = {V4L2_PIX_FMT_XBGR32, V4L2_PIX_FMT_BGR32, V4L2_PIX_FMT_BGR24,
                                              V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12};

// 0: layouts copied or converted cheaply; 1: other YUV layouts; 2: JPEG;
// 3: layouts the decoder cannot read.
int formatRank(unsigned int code)
{
    if (code == kCodeYUY2 || code == kCodeBgr24 || code == kCodeBgr32 || code == kCodeBgrx32)
        return 0;
    if (code == kCodeNV12 || code == kCodeI420 || code == kCodeIYUV || code == kCodeYV12 || code == kCodeUYVY ||
        code == kCodeYVYU)
        return 1;
    if (code == kCodeMJPG)
        return 2;
    return 3;
}

constexpr int kUnreadableRank = 3;

// A V4L2 pixel format as its four characters ("H264"), for the operator.
std::string fourccText(std::uint32_t pixelFormat)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((pixelFormat >> shift) & 0xFF);
        text += (c >= ' ' && c <= '~') ? c : '?';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string undecodableFormatMessage(int deviceIndex, const std::vector<V4l2NativeFormat>& formats)
{
    std::vector<std::string> names;
    for (const V4l2NativeFormat& format : formats) {
        const std::string name = fourccText(format.pixelFormat);
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return "Camera " + std::to_string(deviceIndex) + " offers no format this program can decode (" + list + ")";
}

bool bottomUpCode(unsigned int code)
{
    return code == kCodeBitmap || code == kCodeBgr24 || code == kCodeBgr32 || code == kCodeBgrx32;
}

} // namespace

struct VideoCapture::Impl
{
    explicit Impl(V4l2System& systemCalls) : system(systemCalls) {}

    V4l2System& system;
    bool opened = false;
    int requestedWidth = 640;
    int requestedHeight = 480;
    double requestedFps = 30.0;
    int appliedWidth = 0;
    int appliedHeight = 0;
    double appliedFps = 0.0;
    bool needsReconfigure = false;
    int deviceIndex = 0;
    std::string formatProblem;
    bool formatProblemTold = false;

    // The first path: a streaming device with enumerable native formats.
    std::unique_ptr<V4l2Camera> streamReader;
    unsigned int currentCode = 0;
    int actualWidth = 0;
    int actualHeight = 0;
    int defaultStride = 0;

    // The second path: a device read one frame at a time.
    std::unique_ptr<V4l2Camera> grabDevice;
    std::vector<unsigned char> grabBuffer;

    // The third path: a file or network stream.
    std::unique_ptr<FfmpegCapture> media;
    std::string lastError;

    std::mutex frameMutex;
    Mat latestFrame;
    bool lastReadNew = false;

    bool openStreaming(int index);
    void configureStreamFormat();
    void readCurrentFormat();
    void clearCurrentFormat();
    bool readStreamSample(Mat& frame);
    Mat scaledToRequest(Mat image) const;

    bool openGrabbing(int index);
    void applyRequestedSizeToGrabDevice();
    // True when a new frame replaced the last good one.
    bool grabOneFrame();
    bool latestFrameCopy(Mat& frame);

    void release();
    void markApplied();
};

void VideoCapture::Impl::markApplied()
{
    appliedWidth = requestedWidth;
    appliedHeight = requestedHeight;
    appliedFps = requestedFps;
    needsReconfigure = false;
}

bool VideoCapture::Impl::openStreaming(int index)
{
    deviceIndex = index;
    streamReader = std::make_unique<V4l2Camera>(system);
    if (streamReader->open(index, V4l2Camera::Io::Streaming)) {
        configureStreamFormat();
        if (actualWidth > 0 && actualHeight > 0 && streamReader->isStreaming()) {
            opened = true;
            return true;
        }
    }
    streamReader.reset();
    clearCurrentFormat();
    return false;
}

void VideoCapture::Impl::configureStreamFormat()
{
    // The driver refuses format changes while buffers exist.
    streamReader->stopStreaming();

    const std::vector<V4l2NativeFormat> formats =
        streamReader->nativeFormats(requestedWidth, requestedHeight, requestedFps);
    const V4l2NativeFormat* best = nullptr;
    std::uint64_t bestDistance = std::numeric_limits<std::uint64_t>::max();
    int bestRank = 99;
    double bestRateDistance = std::numeric_limits<double>::max();
    for (const V4l2NativeFormat& format : formats) {
        if (format.width <= 0 || format.height <= 0)
            continue;
        const double rate = format.hasRate && format.rateDenominator != 0
                                ? static_cast<double>(format.rateNumerator) / format.rateDenominator
                                : kDefaultRankingFps;
        const std::uint64_t distance =
            static_cast<std::uint64_t>(std::llabs(static_cast<long long>(format.height) - requestedHeight)) +
            static_cast<std::uint64_t>(std::llabs(static_cast<long long>(format.width) - requestedWidth));
        const double rateDistance = std::fabs(rate - requestedFps);
        const int rank = formatRank(decoderCodeForPixelFormat(format.pixelFormat));
        const bool better = distance < bestDistance || (distance == bestDistance && rank < bestRank) ||
                            (distance == bestDistance && rank == bestRank && rateDistance < bestRateDistance);
        if (better) {
            best = &format;
            bestDistance = distance;
            bestRank = rank;
            bestRateDistance = rateDistance;
        }
    }

    if (best) {
        // The answer is not checked: what the driver made of it is read back below.
        streamReader->setFormat(best->pixelFormat, best->width, best->height);
        if (best->hasRate && best->rateNumerator != 0 && best->rateDenominator != 0)
            streamReader->setFrameRate(best->rateNumerator, best->rateDenominator);
        if (bestRank == kUnreadableRank) {
            bool converted = false;
            for (std::uint32_t fallback : kConversionFallbacks) {
                if (streamReader->setFormat(fallback, best->width, best->height)) {
                    converted = true;
                    break;
                }
            }
            // A driver answers a layout it lacks by switching to another of its
            // own; go back to the chosen one rather than keep that accident.
            if (!converted)
                streamReader->setFormat(best->pixelFormat, best->width, best->height);
        }
    }

    readCurrentFormat();
    const std::string problem =
        formatRank(currentCode) == kUnreadableRank ? undecodableFormatMessage(deviceIndex, formats) : std::string();
    if (problem != formatProblem) {
        formatProblem = problem;
        formatProblemTold = false;
    }
    markApplied();
    streamReader->startStreaming();
}

void VideoCapture::Impl::readCurrentFormat()
{
    V4l2CurrentFormat format;
    if (!streamReader || !streamReader->currentFormat(format))
        return;
    currentCode = decoderCodeForPixelFormat(format.pixelFormat);
    if (format.width != 0 && format.height != 0) {
        actualWidth = format.width;
        actualHeight = format.height;
    }
    defaultStride = format.bytesPerLine;
}

void VideoCapture::Impl::clearCurrentFormat()
{
    actualWidth = 0;
    actualHeight = 0;
    defaultStride = 0;
    currentCode = 0;
}

Mat VideoCapture::Impl::scaledToRequest(Mat image) const
{
    if (requestedWidth >= 1 && requestedHeight >= 1 &&
        (image.cols != requestedWidth || image.rows != requestedHeight)) {
        Mat scaled;
        resize(image, scaled, Size(requestedWidth, requestedHeight), 0.0, 0.0, INTER_LINEAR);
        if (!scaled.empty())
            return scaled;
    }
    return image;
}

bool VideoCapture::Impl::readStreamSample(Mat& frame)
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const int width = actualWidth > 0 ? actualWidth : requestedWidth;
        const int height = actualHeight > 0 ? actualHeight : requestedHeight;
        const bool bottomUp = defaultStride < 0 && bottomUpCode(currentCode);
        Mat decoded;
        bool gotBytes = false;
        const V4l2Camera::SampleResult result =
            streamReader->readSample(kSampleWaitMs, [&](const unsigned char* bytes, std::size_t size) {
                gotBytes = size > 0;
                if (gotBytes)
                    decodeRawVideoFrameToBgr(bytes, size, width, height, currentCode, 0, defaultStride, bottomUp,
                                             decoded);
            });
        if (result == V4l2Camera::SampleResult::Failed)
            return false;
        if (result == V4l2Camera::SampleResult::NoFrame) {
            std::this_thread::sleep_for(kNoSamplePause);
            continue;
        }
        if (decoded.empty()) {
            // A frame that does not fit the format may mean that the driver
            // switched formats under the running stream (a capture card
            // following its source): read the format again and carry on.
            // A JPEG carries its own size, so a bad one is just a bad frame.
            if (gotBytes && currentCode != kCodeMJPG)
                readCurrentFormat();
            continue;
        }
        decoded = scaledToRequest(std::move(decoded));
        std::lock_guard<std::mutex> lock(frameMutex);
        latestFrame = decoded;
        frame = decoded.clone();
        lastReadNew = true;
        return true;
    }
    return latestFrameCopy(frame);
}

bool VideoCapture::Impl::latestFrameCopy(Mat& frame)
{
    std::lock_guard<std::mutex> lock(frameMutex);
    if (latestFrame.empty())
        return false;
    frame = latestFrame.clone();
    return true;
}

bool VideoCapture::Impl::openGrabbing(int index)
{
    grabDevice = std::make_unique<V4l2Camera>(system);
    if (!grabDevice->open(index, V4l2Camera::Io::ReadWrite)) {
        grabDevice.reset();
        return false;
    }
    applyRequestedSizeToGrabDevice();
    markApplied();
    opened = true;
    return true;
}

void VideoCapture::Impl::applyRequestedSizeToGrabDevice()
{
    V4l2CurrentFormat format;
    if (!grabDevice->currentFormat(format))
        return;
    // Same layout at the requested size; the driver's answer is not checked
    // (it may pick the nearest size it has, and frames come as they come).
    grabDevice->setFormat(format.pixelFormat, requestedWidth, requestedHeight);
}

bool VideoCapture::Impl::grabOneFrame()
{
    if (grabDevice->readFrame(kSampleWaitMs, grabBuffer) != V4l2Camera::SampleResult::Frame)
        return false;
    V4l2CurrentFormat format;
    if (!grabDevice->currentFormat(format) || format.width < 1 || format.height < 1)
        return false;
    Mat decoded;
    if (!decodeRawVideoFrameToBgr(grabBuffer.data(), grabBuffer.size(), format.width, format.height,
                                  decoderCodeForPixelFormat(format.pixelFormat), 0, format.bytesPerLine, false,
                                  decoded) ||
        decoded.empty())
        return false;
    std::lock_guard<std::mutex> lock(frameMutex);
    latestFrame = decoded;
    return true;
}

void VideoCapture::Impl::release()
{
    media.reset();
    streamReader.reset();
    grabDevice.reset();
    grabBuffer.clear();
    clearCurrentFormat();
    {
        std::lock_guard<std::mutex> lock(frameMutex);
        latestFrame.release();
    }
    opened = false;
    formatProblem.clear();
    formatProblemTold = false;
    appliedWidth = 0;
    appliedHeight = 0;
    appliedFps = 0.0;
    needsReconfigure = false;
}

VideoCapture::VideoCapture() : VideoCapture(posixV4l2System()) {}

VideoCapture::VideoCapture(V4l2System& system) : m_impl(std::make_unique<Impl>(system)) {}

VideoCapture::~VideoCapture()
{
    m_impl->release();
}

bool VideoCapture::open(int index, int /*apiPreference*/)
{
    m_impl->release();
    if (std::getenv(kDisableCameraVariable) != nullptr)
        return false;
    if (index >= 0 && m_impl->openStreaming(index))
        return true;
    return m_impl->openGrabbing(index);
}

bool VideoCapture::open(const std::string& filename, int /*apiPreference*/)
{
    Impl& d = *m_impl;
    d.release();
    d.lastError.clear();
    if (std::getenv(kDisableCameraVariable) != nullptr) {
        d.lastError = "Video sources are disabled by " + std::string(kDisableCameraVariable) + ".";
        return false;
    }
    d.media = std::make_unique<FfmpegCapture>();
    d.media->setMaximumSize(d.requestedWidth, d.requestedHeight);
    if (!d.media->open(filename)) {
        d.lastError = d.media->lastError();
        d.media.reset();
        return false;
    }
    d.opened = true;
    d.markApplied();
    return true;
}

std::string VideoCapture::lastError() const
{
    return m_impl->lastError;
}

std::vector<std::string> VideoCapture::takeStatusMessages()
{
    std::vector<std::string> messages = m_impl->media ? m_impl->media->takeMessages() : std::vector<std::string>{};
    // Once: such a camera stays silent until another one is chosen.
    if (!m_impl->formatProblem.empty() && !m_impl->formatProblemTold) {
        messages.push_back(m_impl->formatProblem);
        m_impl->formatProblemTold = true;
    }
    return messages;
}

const FfmpegCapture* VideoCapture::mediaCapture() const
{
    return m_impl->media.get();
}

bool VideoCapture::isOpened() const
{
    return m_impl->opened;
}

void VideoCapture::release()
{
    m_impl->release();
}

bool VideoCapture::set(int propId, double value)
{
    Impl& d = *m_impl;
    if (propId == CAP_PROP_FRAME_WIDTH || propId == CAP_PROP_FRAME_HEIGHT) {
        // NaN fails here too; values past the int range are clamped to it.
        if (!(value > 0.0))
            return false;
        const int wanted = value >= static_cast<double>(std::numeric_limits<int>::max())
                               ? std::numeric_limits<int>::max()
                               : static_cast<int>(value);
        int& requested = propId == CAP_PROP_FRAME_WIDTH ? d.requestedWidth : d.requestedHeight;
        const int applied = propId == CAP_PROP_FRAME_WIDTH ? d.appliedWidth : d.appliedHeight;
        if (wanted == requested)
            return true;
        requested = wanted;
        if (d.opened && wanted != applied)
            d.needsReconfigure = true;
        if (d.media)
            d.media->setMaximumSize(d.requestedWidth, d.requestedHeight);
        return true;
    }
    if (propId == CAP_PROP_FPS) {
        if (!(value > 0.0))
            return false;
        if (std::fabs(value - d.requestedFps) <= kFpsTolerance)
            return true;
        d.requestedFps = value;
        if (d.opened && std::fabs(value - d.appliedFps) > kFpsTolerance)
            d.needsReconfigure = true;
        return true;
    }
    return false;
}

double VideoCapture::get(int propId) const
{
    const Impl& d = *m_impl;
    switch (propId) {
    case CAP_PROP_FRAME_WIDTH:
        return d.actualWidth > 0 ? d.actualWidth : d.requestedWidth;
    case CAP_PROP_FRAME_HEIGHT:
        return d.actualHeight > 0 ? d.actualHeight : d.requestedHeight;
    case CAP_PROP_FPS:
        return d.media && d.media->frameRate() > 0.0 ? d.media->frameRate() : d.requestedFps;
    default:
        return 0.0;
    }
}

bool VideoCapture::lastReadWasNew() const
{
    return m_impl->lastReadNew;
}

std::string VideoCapture::formatProblem() const
{
    return m_impl->formatProblem;
}

bool VideoCapture::read(Mat& frame)
{
    Impl& d = *m_impl;
    d.lastReadNew = false;
    if (!d.opened)
        return false;
    if (d.media) {
        // The media reader hands over a frame only when a new one came.
        d.lastReadNew = d.media->read(frame, kMediaReadWaitMs);
        return d.lastReadNew;
    }
    if (d.streamReader) {
        // A stream that could not be restarted after a change is tried again
        // here rather than left stopped until the camera is reopened.
        if (d.needsReconfigure || !d.streamReader->isStreaming())
            d.configureStreamFormat();
        return d.readStreamSample(frame);
    }
    if (!d.grabDevice)
        return false;
    if (d.needsReconfigure) {
        d.applyRequestedSizeToGrabDevice();
        d.markApplied();
    }
    d.lastReadNew = d.grabOneFrame();
    return d.latestFrameCopy(frame);
}

} // namespace cv
