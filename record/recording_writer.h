#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Writes a recording on a thread of its own, so that the threads producing
// messages (GUI, camera) never wait on the disk. Messages go through a
// bounded queue: when the disk cannot keep up, new messages are dropped and
// counted instead of blocking the producer. About once a second the open
// chunk is written and synced, so a crash loses at most that second. When
// free space falls below a floor the file is finished properly and the
// recording stops by itself.
class RecordingWriter
{
public:
    // A channel of JSON messages described by a JSON schema.
    struct Channel
    {
        std::string topic;
        std::string schemaName;
        std::string schemaData;
    };
    struct Options
    {
        // Enough for a few seconds of camera pictures waiting to be encoded.
        std::size_t maxQueuedBytes = 96u * 1024 * 1024;
        std::chrono::milliseconds chunkInterval{1000};
        // Leave the disk usable for the rest of the system.
        std::uint64_t minFreeBytes = 200ull * 1024 * 1024;
    };
    enum class State { Idle, Recording, Finished, DiskFull, Failed };
    struct Status
    {
        State state = State::Idle;
        std::string path;
        std::uint64_t bytesWritten = 0;
        std::uint64_t messagesWritten = 0;
        std::uint64_t messagesDropped = 0;
        std::string error;
    };
    // Produces a message's payload on the writer thread (a picture's JPEG
    // encoding, say), so that the cost stays off the producer's thread.
    using Encoder = std::function<std::string()>;

    RecordingWriter();
    explicit RecordingWriter(Options options);

    // Nanoseconds since the Unix epoch that never step back: the wall clock
    // read once, advanced by the monotonic clock, so that a clock change
    // mid-session cannot reorder the recording.
    static std::uint64_t nowNs();
    // Finishes the file if it is still being written.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Starts the writer thread, which creates the file; false if already
    // started. Channel numbers in post() are positions in `channels`.
    bool start(const std::string& path, const std::vector<Channel>& channels, const std::string& library);
    // Queue a message; false when it was dropped (queue full, or not recording).
    bool post(std::size_t channel, std::uint64_t logTimeNs, std::string payload);
    bool post(std::size_t channel, std::uint64_t logTimeNs, std::size_t sizeHint, Encoder encoder);
    // Asks the thread to write what is queued and finish the file; returns at once.
    void requestStop();
    // requestStop() and wait until the file is finished.
    void finish();
    // True once the thread has finished the file (or given up on it).
    bool isDone() const;
    Status status() const;

private:
    struct Item
    {
        std::size_t channel;
        std::uint64_t logTimeNs;
        std::string payload;
        Encoder encoder;
        std::size_t bytes;
    };

    bool enqueue(Item item);
    void run(std::string path, std::vector<Channel> channels, std::string library);
    void setState(State state, const std::string& error = {});

    Options m_options;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    std::size_t m_queuedBytes = 0;
    bool m_accepting = false;
    bool m_stopRequested = false;
    bool m_done = false;
    Status m_status;
};
