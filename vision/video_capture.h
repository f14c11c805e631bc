#pragma once

#include "vision/cv_core.h"
#include "vision/raw_frame_decoder.h"

#include <memory>
#include <string>
#include <vector>

namespace cv {

class FfmpegCapture;
class V4l2System;

constexpr int CAP_ANY = 0;
constexpr int CAP_V4L2 = 200;
constexpr int CAP_DSHOW = 700;
constexpr int CAP_MSMF = 1400;

constexpr int CAP_PROP_FRAME_WIDTH = 3;
constexpr int CAP_PROP_FRAME_HEIGHT = 4;
constexpr int CAP_PROP_FPS = 5;

// Frames from a local camera as BGR images of the requested size. On Linux
// the camera is /dev/video<index>: streamed through memory-mapped buffers,
// or grabbed with read() on devices that cannot stream. A video file or a
// network stream opens by name instead (decoded by FfmpegCapture). No
// exceptions: every failure is a false result; a file or stream adds
// operator messages (takeStatusMessages). Meant for the one thread that
// owns the object.
class VideoCapture
{
public:
    VideoCapture();
    // The same with the system calls going to `system` (a fake camera in tests).
    explicit VideoCapture(V4l2System& system);
    ~VideoCapture();
    VideoCapture(const VideoCapture&) = delete;
    VideoCapture& operator=(const VideoCapture&) = delete;

    // apiPreference is accepted and ignored. Refuses while the environment
    // variable KESTRO_DISABLE_AUTO_CAMERA is set (to anything).
    bool open(int index, int apiPreference = CAP_ANY);
    // A video file path, or a URL of a network stream (rtsp://, http://,
    // anything FFmpeg's demuxers open). A file plays at its own rate and
    // loops; a stream reconnects by itself. On failure lastError() says why.
    // Refuses like the camera while KESTRO_DISABLE_AUTO_CAMERA is set.
    bool open(const std::string& filename, int apiPreference = CAP_ANY);
    bool isOpened() const;
    void release();

    // CAP_PROP_FRAME_WIDTH, CAP_PROP_FRAME_HEIGHT and CAP_PROP_FPS: a request
    // that takes effect before the next read.
    bool set(int propId, double value);
    double get(int propId) const;

    // The next frame, scaled to the requested size on the streaming path;
    // after 30 attempts without one, the last good frame if there is one.
    // A file or stream gives only new frames, scaled down to fit the
    // requested size with their aspect ratio kept, and waits a little for
    // the next one; false while a stream is stalled or lost.
    bool read(Mat& frame);
    // Whether the last successful read() delivered a frame the camera sent
    // anew; false when it handed out the last good frame again (a camera
    // that stopped delivering), so that nothing takes it for a new picture.
    bool lastReadWasNew() const;

    // Why the last open by name failed, as an operator message.
    std::string lastError() const;
    // Messages about a file or stream raised since the last call.
    std::vector<std::string> takeStatusMessages();
    // The file or stream decoder, when one is open (for measurements).
    const FfmpegCapture* mediaCapture() const;
    // Empty unless the open camera offers only layouts the decoder cannot
    // read (and converts to none of them): then the operator's message,
    // "Camera <n> offers no format this program can decode (<formats>)",
    // which takeStatusMessages() also hands out, once per open.
    std::string formatProblem() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace cv
