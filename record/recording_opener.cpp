#include "record/recording_opener.h"

#include "record/recording_playback.h"

RecordingOpener::~RecordingOpener()
{
    wait();
}

void RecordingOpener::start(const QString& path, Done done)
{
    wait();
    m_thread = std::thread([path, done = std::move(done)] {
        auto recording = std::make_shared<RecordingPlayback>();
        const bool opened = recording->open(path);
        done(std::move(recording), opened);
    });
}

void RecordingOpener::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}
