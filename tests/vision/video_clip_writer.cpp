#include "tests/vision/video_clip_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <QImage>

#include <cmath>
#include <memory>

namespace vision_test {

namespace {

// The block's side as a share of the picture's width, so that it is found
// again in a scaled copy.
int markSize(const cv::Mat& frame)
{
    return frame.cols * 3 / 40;
}
constexpr int kMarkFirstLevel = 24;
constexpr int kMarkStep = 16;

struct Encoder
{
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;

    ~Encoder()
    {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format) {
            if (format->pb)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    // Sends one frame (or the end, with null) and writes what comes out.
    bool encode(AVFrame* input, AVStream* stream)
    {
        if (avcodec_send_frame(codec, input) < 0)
            return false;
        for (;;) {
            const int received = avcodec_receive_packet(codec, packet);
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                return true;
            if (received < 0)
                return false;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            if (av_interleaved_write_frame(format, packet) < 0)
                return false;
        }
    }
};

} // namespace

bool writeVideoClip(const std::string& path, const std::vector<cv::Mat>& frames, int fps, const char* codecName,
                    std::string& error)
{
    if (frames.empty()) {
        error = "no frames";
        return false;
    }
    const int width = frames[0].cols;
    const int height = frames[0].rows;
    Encoder encoder;
    if (avformat_alloc_output_context2(&encoder.format, nullptr, nullptr, path.c_str()) < 0) {
        error = "no container for " + path;
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName);
    AVStream* stream = codec ? avformat_new_stream(encoder.format, nullptr) : nullptr;
    encoder.codec = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!stream || !encoder.codec) {
        error = std::string("no encoder ") + codecName;
        return false;
    }
    const bool jpeg = std::string(codecName) == "mjpeg";
    encoder.codec->width = width;
    encoder.codec->height = height;
    encoder.codec->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    encoder.codec->time_base = AVRational{1, fps};
    encoder.codec->framerate = AVRational{fps, 1};
    encoder.codec->gop_size = 12;
    encoder.codec->bit_rate = 2000000;
    if (encoder.format->oformat->flags & AVFMT_GLOBALHEADER)
        encoder.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.codec, codec, nullptr) < 0 ||
        avcodec_parameters_from_context(stream->codecpar, encoder.codec) < 0) {
        error = "cannot open the encoder";
        return false;
    }
    stream->time_base = encoder.codec->time_base;
    stream->avg_frame_rate = encoder.codec->framerate;
    if (avio_open(&encoder.format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(encoder.format, nullptr) < 0) {
        error = "cannot write " + path;
        return false;
    }
    encoder.frame = av_frame_alloc();
    encoder.packet = av_packet_alloc();
    encoder.frame->format = encoder.codec->pix_fmt;
    encoder.frame->width = width;
    encoder.frame->height = height;
    if (av_frame_get_buffer(encoder.frame, 0) < 0) {
        error = "out of memory";
        return false;
    }
    encoder.scaler = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, encoder.codec->pix_fmt,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (av_frame_make_writable(encoder.frame) < 0) {
            error = "frame not writable";
            return false;
        }
        const uint8_t* planes[1] = {frames[i].data};
        const int strides[1] = {static_cast<int>(frames[i].step)};
        sws_scale(encoder.scaler, planes, strides, 0, height, encoder.frame->data, encoder.frame->linesize);
        encoder.frame->pts = static_cast<int64_t>(i);
        if (!encoder.encode(encoder.frame, stream)) {
            error = "encoding failed";
            return false;
        }
    }
    if (!encoder.encode(nullptr, stream) || av_write_trailer(encoder.format) < 0) {
        error = "cannot finish " + path;
        return false;
    }
    return true;
}

cv::Mat loadPhotograph(const std::string& path, int width, int height)
{
    const QImage image = QImage(QString::fromStdString(path))
                             .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_RGB888);
    cv::Mat frame;
    if (image.isNull())
        return frame;
    frame = cv::Mat(height, width, cv::CV_8UC3);
    for (int y = 0; y < height; ++y) {
        const uchar* rgb = image.constScanLine(y);
        unsigned char* bgr = frame.ptr(y);
        for (int x = 0; x < width; ++x) {
            bgr[3 * x] = rgb[3 * x + 2];
            bgr[3 * x + 1] = rgb[3 * x + 1];
            bgr[3 * x + 2] = rgb[3 * x];
        }
    }
    return frame;
}

void markFrameIndex(cv::Mat& frame, int index)
{
    const unsigned char level = static_cast<unsigned char>(kMarkFirstLevel + kMarkStep * index);
    const int size = markSize(frame);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size * 3; ++x)
            frame.ptr(y)[x] = level;
}

int markedFrameIndex(const cv::Mat& frame)
{
    const int size = markSize(frame);
    if (size < 8 || frame.rows < size)
        return -1;
    // The block's middle, away from edges that scaling and lossy coding smear.
    double sum = 0.0;
    int count = 0;
    for (int y = size / 4; y < size * 3 / 4; ++y)
        for (int x = size / 4 * 3; x < size * 9 / 4; ++x, ++count)
            sum += frame.ptr(y)[x];
    const double index = (sum / count - kMarkFirstLevel) / kMarkStep;
    const double nearest = std::round(index);
    return nearest >= 0 && std::fabs(index - nearest) < 0.45 ? static_cast<int>(nearest) : -1;
}

} // namespace vision_test
