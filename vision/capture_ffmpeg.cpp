#include "vision/capture_ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace cv {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A network peer gets this long to answer an open or to deliver the next
// packet before the connection counts as lost.
constexpr auto kOpenTimeout = 5s;
constexpr auto kReadTimeout = 5s;
// Pauses between reconnection attempts double from the first to the longest.
constexpr auto kFirstReconnectPause = 500ms;
constexpr auto kLongestReconnectPause = 8s;
// A connected stream without a new frame for this long is reported stalled.
constexpr auto kStallReportAfter = 1500ms;
// A file frame later than this (a slow decode, a suspended machine) moves the
// clock instead of being followed by a burst of catch-up frames.
constexpr auto kLateFrameReanchor = 200ms;
// A file that ends more than this many frame intervals before the end its
// header declares has been cut off.
constexpr double kTruncationFrames = 2.0;
constexpr double kFallbackFrameRate = 25.0;

struct FormatContextDeleter
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextDeleter
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerDeleter
{
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

std::string errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The location as shown to the operator: a stream's user name and password
// stay out of the status bar.
std::string displayName(const std::string& location)
{
    const std::size_t scheme = location.find("://");
    if (scheme == std::string::npos)
        return location;
    const std::size_t hostStart = scheme + 3;
    const std::size_t pathStart = location.find('/', hostStart);
    const std::size_t at = location.rfind('@', pathStart == std::string::npos ? std::string::npos : pathStart);
    if (at == std::string::npos || at < hostStart)
        return location;
    return location.substr(0, hostStart) + location.substr(at + 1);
}

std::string secondsText(Clock::duration duration)
{
    const double seconds = std::chrono::duration<double>(duration).count();
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10.0 ? "%.1f" : "%.0f", seconds);
    return text;
}

// One opened container with the decoder of its best video stream.
class FfmpegInput
{
public:
    enum class Step
    {
        Frame,
        End,
        Failed,
    };

    explicit FfmpegInput(const std::atomic<bool>& stop) : m_stop(stop) {}

    bool open(const std::string& location, std::string& error)
    {
        AVFormatContext* context = avformat_alloc_context();
        if (!context) {
            error = "out of memory";
            return false;
        }
        context->interrupt_callback.callback = &FfmpegInput::interrupted;
        context->interrupt_callback.opaque = this;
        m_deadline = Clock::now() + kOpenTimeout;
        int result = avformat_open_input(&context, location.c_str(), nullptr, nullptr);
        if (result < 0) {
            // avformat_open_input frees the context on failure.
            error = errorText(result);
            return false;
        }
        m_format.reset(context);
        m_deadline = Clock::now() + kOpenTimeout;
        if ((result = avformat_find_stream_info(context, nullptr)) < 0) {
            error = errorText(result);
            return false;
        }
        const AVCodec* decoder = nullptr;
        m_streamIndex = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (m_streamIndex < 0 || !decoder) {
            error = "no video stream that can be decoded";
            return false;
        }
        const AVStream* stream = context->streams[m_streamIndex];
        m_codec.reset(avcodec_alloc_context3(decoder));
        if (!m_codec || avcodec_parameters_to_context(m_codec.get(), stream->codecpar) < 0) {
            error = "cannot set up the decoder";
            return false;
        }
        if ((result = avcodec_open2(m_codec.get(), decoder, nullptr)) < 0) {
            error = errorText(result);
            return false;
        }
        m_timeBase = stream->time_base;
        const AVRational rate = av_guess_frame_rate(context, const_cast<AVStream*>(stream), nullptr);
        m_frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
        if (context->duration > 0)
            m_declaredEndSeconds = static_cast<double>(context->duration) / AV_TIME_BASE;
        m_startSeconds =
            context->start_time != AV_NOPTS_VALUE ? static_cast<double>(context->start_time) / AV_TIME_BASE : 0.0;
        m_packet.reset(av_packet_alloc());
        m_frame.reset(av_frame_alloc());
        if (!m_packet || !m_frame) {
            error = "out of memory";
            return false;
        }
        return true;
    }

    // Reads and decodes until one frame is out; its time (seconds from the
    // start of the file) goes to `seconds`.
    Step next(const AVFrame*& frame, double& seconds, std::string& error)
    {
        for (;;) {
            const int received = avcodec_receive_frame(m_codec.get(), m_frame.get());
            if (received == 0) {
                frame = m_frame.get();
                seconds = frameSeconds();
                ++m_framesSinceStart;
                return Step::Frame;
            }
            if (received == AVERROR_EOF)
                return Step::End;
            if (received != AVERROR(EAGAIN)) {
                error = errorText(received);
                return Step::Failed;
            }
            if (m_draining)
                return Step::End;
            m_deadline = Clock::now() + kReadTimeout;
            const int read = av_read_frame(m_format.get(), m_packet.get());
            if (read == AVERROR_EOF) {
                m_draining = true;
                avcodec_send_packet(m_codec.get(), nullptr);
                continue;
            }
            if (read < 0) {
                error = errorText(read);
                return Step::Failed;
            }
            if (m_packet->stream_index == m_streamIndex) {
                // A damaged packet costs its frame, not the whole input.
                const int sent = avcodec_send_packet(m_codec.get(), m_packet.get());
                if (sent < 0 && sent != AVERROR_INVALIDDATA && sent != AVERROR(EAGAIN)) {
                    av_packet_unref(m_packet.get());
                    error = errorText(sent);
                    return Step::Failed;
                }
            }
            av_packet_unref(m_packet.get());
        }
    }

    bool rewind()
    {
        m_deadline = Clock::now() + kReadTimeout;
        if (av_seek_frame(m_format.get(), m_streamIndex, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
            avformat_seek_file(m_format.get(), -1, INT64_MIN, 0, INT64_MAX, 0) < 0)
            return false;
        avcodec_flush_buffers(m_codec.get());
        m_draining = false;
        m_framesSinceStart = 0;
        return true;
    }

    double frameRate() const { return m_frameRate; }
    double frameInterval() const { return 1.0 / (m_frameRate > 0.0 ? m_frameRate : kFallbackFrameRate); }
    double declaredEndSeconds() const { return m_declaredEndSeconds; }

private:
    static int interrupted(void* opaque)
    {
        const auto* input = static_cast<const FfmpegInput*>(opaque);
        return input->m_stop.load() || Clock::now() > input->m_deadline ? 1 : 0;
    }

    double frameSeconds() const
    {
        const std::int64_t timestamp = m_frame->best_effort_timestamp;
        if (timestamp == AV_NOPTS_VALUE)
            return static_cast<double>(m_framesSinceStart) * frameInterval();
        return static_cast<double>(timestamp) * av_q2d(m_timeBase) - m_startSeconds;
    }

    const std::atomic<bool>& m_stop;
    Clock::time_point m_deadline = Clock::now();
    std::unique_ptr<AVFormatContext, FormatContextDeleter> m_format;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> m_codec;
    std::unique_ptr<AVPacket, PacketDeleter> m_packet;
    std::unique_ptr<AVFrame, FrameDeleter> m_frame;
    int m_streamIndex = -1;
    AVRational m_timeBase{1, 1};
    double m_frameRate = 0.0;
    double m_declaredEndSeconds = 0.0;
    double m_startSeconds = 0.0;
    bool m_draining = false;
    std::int64_t m_framesSinceStart = 0;
};

} // namespace

struct FfmpegCapture::Shared
{
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::condition_variable changed;  // a new frame, or stop

    Mat latest;
    std::uint64_t sequence = 0;
    Clock::time_point latestAt = Clock::now();
    bool connected = false;
    bool stallReported = false;
    bool ended = false;
    std::vector<std::string> messages;
    int maximumWidth = 0;
    int maximumHeight = 0;
    Statistics statistics;

    void post(std::string message)
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(message));
    }

    // Sleeps for `pause` unless asked to stop; true when it slept it out.
    bool pauseFor(Clock::duration pause)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !changed.wait_for(lock, pause, [this] { return stop.load(); });
    }
};

struct FfmpegCapture::Worker
{
    Worker(std::shared_ptr<Shared> sharedState, std::string where)
        : shared(std::move(sharedState)), location(std::move(where)), name(displayName(location))
    {
    }

    std::shared_ptr<Shared> shared;
    std::string location;
    std::string name;
    std::unique_ptr<FfmpegInput> input;
    std::unique_ptr<SwsContext, ScalerDeleter> scaler;
    std::thread thread;

    // A file's first frame, decoded while opening and shown first.
    Mat firstFrame;
    double firstSeconds = 0.0;

    bool decodeToBgr(const AVFrame* frame, Mat& out);
    // decodeToBgr, with the time since `started` (the decode) counted.
    bool convertCounted(const AVFrame* frame, Clock::time_point started, Mat& out);
    void publish(Mat frame);
    void playFile();
    void followStream();
};

bool FfmpegCapture::Worker::decodeToBgr(const AVFrame* frame, Mat& out)
{
    if (frame->width <= 0 || frame->height <= 0)
        return false;
    int maximumWidth, maximumHeight;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        maximumWidth = shared->maximumWidth;
        maximumHeight = shared->maximumHeight;
    }
    int width = frame->width;
    int height = frame->height;
    if (maximumWidth > 0 && maximumHeight > 0 && (width > maximumWidth || height > maximumHeight)) {
        const double scale = std::min(static_cast<double>(maximumWidth) / width,
                                      static_cast<double>(maximumHeight) / height);
        width = std::max(1, static_cast<int>(width * scale));
        height = std::max(1, static_cast<int>(height * scale));
    }
    scaler.reset(sws_getCachedContext(scaler.release(), frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_BGR24,
                                      SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler)
        return false;
    out = Mat(height, width, CV_8UC3);
    if (out.empty())
        return false;
    unsigned char* planes[4] = {out.data, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(out.step), 0, 0, 0};
    return sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) == height;
}

bool FfmpegCapture::Worker::convertCounted(const AVFrame* frame, Clock::time_point started, Mat& out)
{
    const bool converted = decodeToBgr(frame, out);
    std::lock_guard<std::mutex> lock(shared->mutex);
    ++shared->statistics.framesDecoded;
    shared->statistics.decodeMilliseconds += std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    return converted;
}

void FfmpegCapture::Worker::publish(Mat frame)
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->latest = std::move(frame);
        ++shared->sequence;
        shared->latestAt = Clock::now();
        if (shared->stallReported) {
            shared->stallReported = false;
            shared->messages.push_back("Video stream " + name + " resumed.");
        }
    }
    shared->changed.notify_all();
}

void FfmpegCapture::Worker::playFile()
{
    const double interval = input->frameInterval();
    // Frame times map to the clock through one anchor, moved at each loop
    // and whenever decoding falls behind.
    Clock::time_point anchor = Clock::now();
    double anchorSeconds = firstSeconds;
    double lastSeconds = firstSeconds;
    publish(std::move(firstFrame));

    while (!shared->stop) {
        const AVFrame* decoded = nullptr;
        double seconds = 0.0;
        std::string error;
        const auto started = Clock::now();
        const FfmpegInput::Step step = input->next(decoded, seconds, error);
        if (shared->stop)
            return;
        if (step == FfmpegInput::Step::Frame) {
            Mat frame;
            if (!convertCounted(decoded, started, frame))
                continue;
            lastSeconds = seconds;
            const auto due = anchor + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds - anchorSeconds));
            if (Clock::now() > due + kLateFrameReanchor) {
                anchor = Clock::now();
                anchorSeconds = seconds;
            } else if (!shared->pauseFor(due - Clock::now())) {
                return;
            }
            publish(std::move(frame));
            continue;
        }

        const double declaredEnd = input->declaredEndSeconds();
        const bool cutShort = declaredEnd > 0.0 && lastSeconds + kTruncationFrames * interval < declaredEnd - interval;
        if (step == FfmpegInput::Step::Failed || cutShort || !input->rewind()) {
            const std::string why = step == FfmpegInput::Step::Failed ? error : "it ends before its declared length";
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ended = true;
            shared->messages.push_back("Video file " + name + " is damaged or truncated (" + why +
                                       "). Using synthetic test feed.");
            shared->changed.notify_all();
            return;
        }
        // The first frame again one interval after the last one.
        anchor += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(lastSeconds - anchorSeconds + interval));
        anchorSeconds = 0.0;
        lastSeconds = 0.0;
    }
}

void FfmpegCapture::Worker::followStream()
{
    Clock::duration pause = kFirstReconnectPause;
    bool everConnected = false;
    while (!shared->stop) {
        std::string error;
        input = std::make_unique<FfmpegInput>(shared->stop);
        if (!input->open(location, error)) {
            if (shared->stop)
                return;
            shared->post("Cannot open video stream " + name + " (" + error + "). Retrying in " +
                         secondsText(pause) + " s.");
            if (!shared->pauseFor(pause))
                return;
            pause = std::min<Clock::duration>(pause * 2, kLongestReconnectPause);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->connected = true;
            shared->stallReported = false;
            shared->latestAt = Clock::now();
            if (everConnected)
                shared->messages.push_back("Video stream " + name + " reconnected.");
        }
        everConnected = true;
        pause = kFirstReconnectPause;

        for (;;) {
            const AVFrame* decoded = nullptr;
            double seconds = 0.0;
            const auto started = Clock::now();
            const FfmpegInput::Step step = input->next(decoded, seconds, error);
            if (shared->stop)
                return;
            if (step != FfmpegInput::Step::Frame) {
                if (step == FfmpegInput::Step::End)
                    error = "the stream ended";
                break;
            }
            Mat frame;
            if (convertCounted(decoded, started, frame))
                publish(std::move(frame));
        }

        input.reset();
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->connected = false;
            shared->stallReported = false;
            shared->messages.push_back("Lost video stream " + name + " (" + error + "). Reconnecting in " +
                                       secondsText(pause) + " s.");
        }
        if (!shared->pauseFor(pause))
            return;
        pause = std::min<Clock::duration>(pause * 2, kLongestReconnectPause);
    }
}

FfmpegCapture::FfmpegCapture() : m_shared(std::make_shared<Shared>()) {}

FfmpegCapture::~FfmpegCapture()
{
    release();
}

bool FfmpegCapture::isStreamLocation(const std::string& location)
{
    const std::size_t scheme = location.find("://");
    return scheme != std::string::npos && scheme > 0 && location.compare(0, scheme, "file") != 0;
}

bool FfmpegCapture::open(const std::string& location)
{
    // FFmpeg's own log lines would flood the standard error stream with
    // every damaged packet; what matters reaches the operator as messages.
    av_log_set_level(AV_LOG_FATAL);
    release();
    m_lastError.clear();
    m_lastSequence = 0;
    m_frameRate = 0.0;
    const int maximumWidth = m_shared->maximumWidth;
    const int maximumHeight = m_shared->maximumHeight;
    m_shared = std::make_shared<Shared>();
    m_shared->maximumWidth = maximumWidth;
    m_shared->maximumHeight = maximumHeight;
    auto worker = std::make_unique<Worker>(m_shared, location);

    if (isStreamLocation(location)) {
        avformat_network_init();
        m_worker = std::move(worker);
        m_worker->thread = std::thread([worker = m_worker.get()] { worker->followStream(); });
        return true;
    }

    // A file must show at least one frame now, so that a file that is no
    // video at all is one clear error at open and never a silent feed.
    worker->input = std::make_unique<FfmpegInput>(m_shared->stop);
    std::string error;
    const AVFrame* decoded = nullptr;
    if (worker->input->open(location, error)) {
        const FfmpegInput::Step step = worker->input->next(decoded, worker->firstSeconds, error);
        if (step == FfmpegInput::Step::End)
            error = "it holds no picture";
        else if (step == FfmpegInput::Step::Frame && !worker->decodeToBgr(decoded, worker->firstFrame))
            error = "its pictures cannot be converted";
    }
    if (worker->firstFrame.empty()) {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->messages.clear();
        m_lastError = "Cannot play video file " + displayName(location) + " (" + error + "). Using synthetic test feed.";
        return false;
    }
    m_frameRate = worker->input->frameRate();
    m_worker = std::move(worker);
    m_worker->thread = std::thread([worker = m_worker.get()] { worker->playFile(); });
    return true;
}

bool FfmpegCapture::isOpened() const
{
    return m_worker != nullptr;
}

void FfmpegCapture::release()
{
    if (!m_worker)
        return;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stop = true;
    }
    m_shared->changed.notify_all();
    if (m_worker->thread.joinable())
        m_worker->thread.join();
    m_worker.reset();
}

std::string FfmpegCapture::lastError() const
{
    return m_lastError;
}

void FfmpegCapture::setMaximumSize(int width, int height)
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->maximumWidth = width;
    m_shared->maximumHeight = height;
}

double FfmpegCapture::frameRate() const
{
    return m_worker ? m_frameRate : 0.0;
}

bool FfmpegCapture::read(Mat& frame, int waitMs)
{
    if (!m_worker)
        return false;
    Shared& shared = *m_shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    const bool fresh = shared.changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
        return shared.sequence != m_lastSequence || shared.ended || shared.stop;
    });
    if (fresh && shared.sequence != m_lastSequence) {
        m_lastSequence = shared.sequence;
        frame = shared.latest.clone();
        return true;
    }
    if (shared.connected && !shared.stallReported && Clock::now() - shared.latestAt > kStallReportAfter) {
        shared.stallReported = true;
        shared.messages.push_back("Video stream " + m_worker->name + " stalled: no new frame for " +
                                  secondsText(Clock::now() - shared.latestAt) + " s.");
    }
    return false;
}

std::vector<std::string> FfmpegCapture::takeMessages()
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return std::exchange(m_shared->messages, {});
}

FfmpegCapture::Statistics FfmpegCapture::statistics() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->statistics;
}

} // namespace cv
