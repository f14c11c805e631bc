#include "app/playback_frame_source.h"

#include "record/playback_clock.h"
#include "record/recording_playback.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace {

// Fine enough to land within a few milliseconds of a picture's time.
constexpr auto kPollStep = std::chrono::milliseconds(4);

} // namespace

PlaybackFrameSource::PlaybackFrameSource(std::shared_ptr<const RecordingPlayback> recording,
                                         std::shared_ptr<PlaybackClock> clock)
    : m_recording(std::move(recording)), m_clock(std::move(clock))
{
}

cv::Mat PlaybackFrameSource::decodeJpeg(const QByteArray& jpeg)
{
    QImage image = QImage::fromData(jpeg, "JPG");
    if (image.isNull())
        return {};
    if (image.format() != QImage::Format_BGR888)
        image = image.convertToFormat(QImage::Format_BGR888);
    cv::Mat frame = cv::Mat::uninitialized(image.height(), image.width(), cv::CV_8UC3);
    const std::size_t rowBytes = static_cast<std::size_t>(image.width()) * 3;
    for (int row = 0; row < image.height(); ++row)
        std::memcpy(frame.ptr(row), image.constScanLine(row), rowBytes);
    return frame;
}

int PlaybackFrameSource::waitForNextFrame()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxWaitMs);
    int index = m_clock->currentFrameIndex();
    while (index == m_shownIndex && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
        index = m_clock->currentFrameIndex();
    }
    return index;
}

bool PlaybackFrameSource::read(cv::Mat& frame)
{
    const int index = waitForNextFrame();
    m_lastWasNew = false;
    if (index >= 0 && index != m_shownIndex) {
        // A damaged picture is not retried on every pass: the last good one stays.
        m_shownIndex = index;
        QElapsedTimer decodeTime;
        decodeTime.start();
        cv::Mat decoded = decodeJpeg(m_recording->frameJpeg(index));
        m_lastDecodeNs = decodeTime.nsecsElapsed();
        if (!decoded.empty()) {
            m_shown = std::move(decoded);
            m_lastWasNew = true;
        } else if (!m_reportedUndecodable) {
            m_reportedUndecodable = true;
            m_messages.push_back("Recording: a damaged picture was skipped.");
        }
    }
    if (m_shown.empty())
        return false;
    // The camera thread draws on and converts what it gets: the picture
    // kept for a repeat must stay as recorded.
    frame = m_shown.clone();
    return true;
}

std::vector<std::string> PlaybackFrameSource::takeMessages()
{
    return std::exchange(m_messages, {});
}
