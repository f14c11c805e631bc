#include "record/playback_clock.h"

#include <algorithm>
#include <chrono>

std::int64_t PlaybackClock::steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

PlaybackClock::PlaybackClock(std::uint64_t beginNs, std::uint64_t endNs, std::vector<std::uint64_t> frameTimesNs,
                             TimeSource now)
    : m_beginNs(beginNs),
      m_durationNs(endNs > beginNs ? static_cast<std::int64_t>(endNs - beginNs) : 0),
      m_frameTimesNs(std::move(frameTimesNs)),
      m_now(std::move(now))
{
}

std::int64_t PlaybackClock::positionLocked()
{
    if (!m_playing)
        return m_anchorPositionNs;
    const std::int64_t position = m_anchorPositionNs + (m_now() - m_anchorNowNs);
    if (position < m_durationNs)
        return position;
    m_playing = false;
    m_anchorPositionNs = m_durationNs;
    return m_durationNs;
}

std::int64_t PlaybackClock::positionNs()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return positionLocked();
}

bool PlaybackClock::isPlaying()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    positionLocked();
    return m_playing;
}

void PlaybackClock::play()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t position = positionLocked();
    if (m_playing)
        return;
    m_anchorPositionNs = position >= m_durationNs ? 0 : position;
    m_anchorNowNs = m_now();
    m_playing = true;
}

void PlaybackClock::pause()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_anchorPositionNs = positionLocked();
    m_playing = false;
}

void PlaybackClock::seek(std::int64_t positionNs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_anchorPositionNs = std::clamp<std::int64_t>(positionNs, 0, m_durationNs);
    m_anchorNowNs = m_now();
    // A seek to the very end is the end: it pauses like playing into it.
    if (m_anchorPositionNs >= m_durationNs)
        m_playing = false;
}

int PlaybackClock::frameIndexAt(std::int64_t positionNs) const
{
    if (positionNs < 0)
        return -1;
    return indexAtOrBefore(m_frameTimesNs, m_beginNs + static_cast<std::uint64_t>(positionNs));
}

std::int64_t PlaybackClock::frameOffsetNs(int index) const
{
    return static_cast<std::int64_t>(m_frameTimesNs.at(static_cast<std::size_t>(index)) - m_beginNs);
}

int PlaybackClock::indexAtOrBefore(const std::vector<std::uint64_t>& timesNs, std::uint64_t atNs)
{
    const auto after = std::upper_bound(timesNs.begin(), timesNs.end(), atNs);
    return static_cast<int>(after - timesNs.begin()) - 1;
}
