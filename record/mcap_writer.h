#pragma once

#include "record/crc32.h"
#include "record/durable_file.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Writes one MCAP file front to back: header, schemas and channels at the top
// of the data section, messages gathered into uncompressed chunks, each chunk
// followed by its message indexes and synced to the disk, and on close a
// summary (schemas, channels, statistics, chunk indexes and their offsets)
// and the footer. A file cut anywhere keeps every chunk synced before the
// cut readable. Not thread-safe: one thread owns a writer.
class McapWriter
{
public:
    using Metadata = std::vector<std::pair<std::string, std::string>>;

    explicit McapWriter(std::string library, std::size_t chunkBytes = 4 * 1024 * 1024);
    ~McapWriter();
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    bool open(const std::string& path);
    // Ids start at 1 (0 means "no schema"); 0 is returned on failure.
    std::uint16_t addSchema(const std::string& name, const std::string& encoding, const std::string& data);
    std::uint16_t addChannel(std::uint16_t schemaId, const std::string& topic, const std::string& messageEncoding,
                             const Metadata& metadata = {});
    // Appends a message to the open chunk; a chunk that grows past the chunk
    // size is written out at once.
    bool addMessage(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime, const char* data,
                    std::size_t size);
    // Writes the open chunk (if it holds messages) and its indexes, then syncs.
    bool flushChunk();
    // Flushes, writes the summary and the footer, syncs and closes.
    bool close();

    bool isOpen() const { return m_file.isOpen(); }
    std::uint64_t bytesWritten() const { return m_offset; }
    std::uint64_t messageCount() const { return m_messageCount; }
    const std::string& lastError() const { return m_lastError; }

private:
    struct IndexEntry
    {
        std::uint64_t logTime;
        std::uint64_t offset;
    };
    struct ChunkIndexEntry
    {
        std::uint64_t startTime;
        std::uint64_t endTime;
        std::uint64_t chunkOffset;
        std::uint64_t chunkLength;
        std::map<std::uint16_t, std::uint64_t> messageIndexOffsets;
        std::uint64_t messageIndexLength;
        std::uint64_t recordsSize;
    };

    bool writeBytes(const std::string& bytes);
    bool fail(const std::string& message);
    std::string summaryGroups(std::uint64_t summaryStart, std::string& offsets) const;

    DurableFile m_file;
    std::string m_library;
    std::size_t m_chunkBytes;
    std::string m_lastError;
    std::uint64_t m_offset = 0;
    Crc32 m_dataCrc;

    std::vector<std::string> m_schemaRecords;
    std::vector<std::string> m_channelRecords;
    std::map<std::uint16_t, std::uint32_t> m_sequences;
    std::map<std::uint16_t, std::uint64_t> m_channelMessageCounts;

    std::string m_chunkRecords;
    std::map<std::uint16_t, std::vector<IndexEntry>> m_chunkIndex;
    std::uint64_t m_chunkStart = 0;
    std::uint64_t m_chunkEnd = 0;

    std::vector<ChunkIndexEntry> m_chunkIndexes;
    std::uint64_t m_messageCount = 0;
    std::uint64_t m_firstTime = 0;
    std::uint64_t m_lastTime = 0;
};
