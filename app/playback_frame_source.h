#pragma once

#include "vision/frame_source.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PlaybackClock;
class RecordingPlayback;

// A recording's pictures as the camera: each read gives the picture the
// playback clock says is due, decoding one JPEG at a time. Like a camera it
// waits for the next picture, a little, rather than repeat one; while
// playback is paused it repeats the last picture as not new, so that the
// network finds no person in it and the watchdog holds the robot. The
// pictures are handed on as recorded: mirrored already if the session
// mirrored them.
class PlaybackFrameSource : public FrameSource
{
public:
    // The longest a read waits for the next picture before it repeats the
    // last one: short, so that a pause and a stop take effect at once.
    static constexpr int kMaxWaitMs = 200;

    PlaybackFrameSource(std::shared_ptr<const RecordingPlayback> recording, std::shared_ptr<PlaybackClock> clock);

    bool read(cv::Mat& frame) override;
    bool lastReadWasNew() const override { return m_lastWasNew; }
    std::vector<std::string> takeMessages() override;

    // The picture the last read gave, -1 before the first.
    int lastFrameIndex() const { return m_shownIndex; }
    // Time spent decoding the last picture.
    std::int64_t lastDecodeNs() const { return m_lastDecodeNs; }

    // One picture as the camera gives it: 8-bit BGR. Empty when it does not decode.
    static cv::Mat decodeJpeg(const QByteArray& jpeg);

private:
    int waitForNextFrame();

    std::shared_ptr<const RecordingPlayback> m_recording;
    std::shared_ptr<PlaybackClock> m_clock;
    cv::Mat m_shown;
    int m_shownIndex = -1;
    bool m_lastWasNew = false;
    bool m_reportedUndecodable = false;
    std::int64_t m_lastDecodeNs = 0;
    std::vector<std::string> m_messages;
};
