#include "record/recording_writer.h"

#include "record/mcap_writer.h"

#include <QFileInfo>
#include <QStorageInfo>

#include <map>

namespace {

std::uint64_t freeBytesAt(const std::string& path)
{
    const QStorageInfo storage(QFileInfo(QString::fromStdString(path)).absolutePath());
    return storage.isValid() ? static_cast<std::uint64_t>(storage.bytesAvailable()) : 0;
}

} // namespace

std::uint64_t RecordingWriter::nowNs()
{
    using namespace std::chrono;
    static const auto wallAtStart = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    static const auto steadyAtStart = steady_clock::now();
    return static_cast<std::uint64_t>((wallAtStart + (steady_clock::now() - steadyAtStart)).count());
}

RecordingWriter::RecordingWriter() : RecordingWriter(Options()) {}

RecordingWriter::RecordingWriter(Options options) : m_options(options) {}

RecordingWriter::~RecordingWriter()
{
    finish();
}

bool RecordingWriter::start(const std::string& path, const std::vector<Channel>& channels,
                            const std::string& library)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable())
        return false;
    m_status = Status();
    m_status.state = State::Recording;
    m_status.path = path;
    m_accepting = true;
    m_thread = std::thread(&RecordingWriter::run, this, path, channels, library);
    return true;
}

bool RecordingWriter::enqueue(Item item)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return false;
    if (m_queuedBytes + item.bytes > m_options.maxQueuedBytes) {
        ++m_status.messagesDropped;
        return false;
    }
    m_queuedBytes += item.bytes;
    m_queue.push_back(std::move(item));
    m_wake.notify_one();
    return true;
}

bool RecordingWriter::post(std::size_t channel, std::uint64_t logTimeNs, std::string payload)
{
    const std::size_t bytes = payload.size();
    return enqueue(Item{channel, logTimeNs, std::move(payload), {}, bytes});
}

bool RecordingWriter::post(std::size_t channel, std::uint64_t logTimeNs, std::size_t sizeHint, Encoder encoder)
{
    return enqueue(Item{channel, logTimeNs, {}, std::move(encoder), sizeHint});
}

void RecordingWriter::requestStop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accepting = false;
    m_stopRequested = true;
    m_wake.notify_one();
}

void RecordingWriter::finish()
{
    requestStop();
    if (m_thread.joinable())
        m_thread.join();
}

bool RecordingWriter::isDone() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

RecordingWriter::Status RecordingWriter::status() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

void RecordingWriter::setState(State state, const std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status.state = state;
    if (!error.empty())
        m_status.error = error;
    if (state != State::Recording)
        m_accepting = false;
}

void RecordingWriter::run(std::string path, std::vector<Channel> channels, std::string library)
{
    McapWriter writer(library);
    std::vector<std::uint16_t> channelIds;
    bool ok = writer.open(path);
    std::map<std::string, std::uint16_t> schemaIds;
    for (const Channel& channel : channels) {
        if (!ok)
            break;
        auto schema = schemaIds.find(channel.schemaName);
        if (schema == schemaIds.end())
            schema = schemaIds.emplace(channel.schemaName,
                                       writer.addSchema(channel.schemaName, "jsonschema", channel.schemaData))
                         .first;
        channelIds.push_back(writer.addChannel(schema->second, channel.topic, "json"));
        ok = schema->second != 0 && channelIds.back() != 0;
    }

    using Clock = std::chrono::steady_clock;
    auto lastFlush = Clock::now();
    bool diskFull = freeBytesAt(path) < m_options.minFreeBytes;
    while (ok && !diskFull) {
        std::deque<Item> batch;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_until(lock, lastFlush + m_options.chunkInterval,
                              [this] { return !m_queue.empty() || m_stopRequested; });
            batch.swap(m_queue);
            m_queuedBytes = 0;
            stopping = m_stopRequested;
        }
        std::uint64_t written = 0;
        for (Item& item : batch) {
            if (item.channel >= channelIds.size())
                continue;
            const std::string payload = item.encoder ? item.encoder() : std::move(item.payload);
            ok = writer.addMessage(channelIds[item.channel], item.logTimeNs, item.logTimeNs, payload.data(),
                                   payload.size());
            if (!ok)
                break;
            ++written;
        }
        if (ok && Clock::now() - lastFlush >= m_options.chunkInterval) {
            ok = writer.flushChunk();
            lastFlush = Clock::now();
            diskFull = freeBytesAt(path) < m_options.minFreeBytes;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_status.messagesWritten += written;
            m_status.bytesWritten = writer.bytesWritten();
        }
        if (stopping)
            break;
    }

    // Whatever stopped the loop, a file that opened is finished with its
    // summary, so that it is never left half-written.
    if (writer.isOpen() && !writer.close())
        ok = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status.bytesWritten = writer.bytesWritten();
    }
    if (!ok)
        setState(State::Failed, writer.lastError());
    else
        setState(diskFull ? State::DiskFull : State::Finished);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
}
