#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// The time line of a recording being played back: where playback stands,
// whether it runs, and which picture belongs to a position. Positions are
// nanoseconds from the start of the recording. The GUI thread drives it
// (play, pause, seek) while the camera thread asks which frame is due, so
// every member takes a short lock.
//
// The end of the recording pauses rather than loops: with command replay
// on, a loop would send the robot from the last pose straight back to the
// first one, a move nobody asked for.
class PlaybackClock
{
public:
    // Monotonic nanoseconds; tests substitute a clock they step by hand.
    using TimeSource = std::function<std::int64_t()>;
    static std::int64_t steadyNowNs();

    // beginNs..endNs: the recorded span (log times); frameTimesNs: the
    // pictures' log times in order. Starts paused at the beginning.
    PlaybackClock(std::uint64_t beginNs, std::uint64_t endNs, std::vector<std::uint64_t> frameTimesNs,
                  TimeSource now = steadyNowNs);

    std::int64_t durationNs() const { return m_durationNs; }
    std::uint64_t beginNs() const { return m_beginNs; }
    std::size_t frameCount() const { return m_frameTimesNs.size(); }

    // Where playback stands now; reaching the end pauses there.
    std::int64_t positionNs();
    bool isPlaying();
    // Playing from the end starts again from the beginning.
    void play();
    void pause();
    // Moves to a position (clamped to the recording), playing or not.
    void seek(std::int64_t positionNs);

    // The picture shown at a position: the last one at or before it, -1
    // before the first.
    int frameIndexAt(std::int64_t positionNs) const;
    int currentFrameIndex() { return frameIndexAt(positionNs()); }
    // The recorded log time of a frame, relative to the beginning.
    std::int64_t frameOffsetNs(int index) const;

    // The last of `timesNs` (sorted log times) at or before the log time
    // `atNs`; -1 when all come later.
    static int indexAtOrBefore(const std::vector<std::uint64_t>& timesNs, std::uint64_t atNs);

private:
    std::int64_t positionLocked();

    const std::uint64_t m_beginNs;
    const std::int64_t m_durationNs;
    const std::vector<std::uint64_t> m_frameTimesNs;
    const TimeSource m_now;

    std::mutex m_mutex;
    bool m_playing = false;
    // While playing, the position is m_anchorPositionNs plus the time since
    // m_anchorNowNs; while paused, m_anchorPositionNs.
    std::int64_t m_anchorPositionNs = 0;
    std::int64_t m_anchorNowNs = 0;
};
