#pragma once

#include "vision/cv_core.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cv {

// Frames of a video file or a network stream, demuxed and decoded with
// FFmpeg's libraries on a thread of its own, so that decoding runs beside
// the pose network instead of in front of it.
//
// A file plays at its own frame rate and starts again at its end; a file
// that cannot be played, or that breaks off before its declared end, is
// reported once and then gives no more frames. A stream (any location with
// a scheme other than file:) is taken as it comes; when it is lost it is
// opened again after a growing pause, and a stream that stops delivering is
// reported as stalled. Nothing here hands out the same frame twice.
class FfmpegCapture
{
public:
    // Decoding effort, for measurements.
    struct Statistics
    {
        std::int64_t framesDecoded = 0;
        double decodeMilliseconds = 0.0;  // decoding and conversion to BGR, summed
    };

    FfmpegCapture();
    ~FfmpegCapture();
    FfmpegCapture(const FfmpegCapture&) = delete;
    FfmpegCapture& operator=(const FfmpegCapture&) = delete;

    // Whether `location` names a network stream rather than a local file.
    static bool isStreamLocation(const std::string& location);

    // A file is opened and its first frame decoded here; false with
    // lastError() set when that fails. A stream is connected to in the
    // background, so this returns true at once and failures arrive as
    // messages.
    bool open(const std::string& location);
    bool isOpened() const;
    void release();
    std::string lastError() const;

    // Frames larger than this are scaled down to fit, keeping their aspect
    // ratio. Takes effect from the next decoded frame.
    void setMaximumSize(int width, int height);
    // The file's frame rate; 0 for a stream or when the file does not say.
    double frameRate() const;

    // Waits at most waitMs for a frame newer than the last one read.
    bool read(Mat& frame, int waitMs);
    // Operator messages since the last call, oldest first.
    std::vector<std::string> takeMessages();
    Statistics statistics() const;

    struct Shared;

private:
    // Shared with the decoding thread, which may still be finishing a step
    // when this object lets go of it.
    std::shared_ptr<Shared> m_shared;
    struct Worker;
    std::unique_ptr<Worker> m_worker;
    std::string m_lastError;
    std::uint64_t m_lastSequence = 0;
    double m_frameRate = 0.0;
};

} // namespace cv
