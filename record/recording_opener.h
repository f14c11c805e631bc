#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <thread>

class RecordingPlayback;

// Opens recordings on a thread of its own. Parsing a long session takes
// seconds, and the window that asked must keep answering meanwhile: an
// emergency stop never waits for a file. One opening at a time; destroying
// the opener waits for the one under way, so no thread outlives it.
class RecordingOpener
{
public:
    // Runs on the worker thread with the recording and whether it opened
    // (else its error() says why). The recording does not change after
    // that, so it may be handed to any thread.
    using Done = std::function<void(std::shared_ptr<RecordingPlayback> recording, bool opened)>;

    RecordingOpener() = default;
    ~RecordingOpener();
    RecordingOpener(const RecordingOpener&) = delete;
    RecordingOpener& operator=(const RecordingOpener&) = delete;

    // Waits for the previous opening to end first: call it once that one's
    // `done` has run, and the wait is only for its thread to return.
    void start(const QString& path, Done done);
    // Returns once the opening under way, if any, has called `done`.
    void wait();

private:
    std::thread m_thread;
};
