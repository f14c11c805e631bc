#include "record/mcap_writer.h"

#include "record/mcap_format.h"

#include <algorithm>
#include <limits>

using mcap::Opcode;

McapWriter::McapWriter(std::string library, std::size_t chunkBytes)
    : m_library(std::move(library)), m_chunkBytes(chunkBytes)
{
}

McapWriter::~McapWriter()
{
    if (isOpen())
        close();
}

bool McapWriter::fail(const std::string& message)
{
    m_lastError = message;
    m_file.close();
    return false;
}

bool McapWriter::writeBytes(const std::string& bytes)
{
    if (!m_file.write(bytes.data(), bytes.size()))
        return fail(m_file.lastError());
    m_dataCrc.update(bytes.data(), bytes.size());
    m_offset += bytes.size();
    return true;
}

bool McapWriter::open(const std::string& path)
{
    if (!m_file.open(path))
        return fail(m_file.lastError());
    std::string header;
    mcap::appendString(header, std::string()); // no profile: plain JSON channels
    mcap::appendString(header, m_library);
    std::string bytes(mcap::kMagic, mcap::kMagicSize);
    mcap::appendRecord(bytes, Opcode::Header, header);
    return writeBytes(bytes);
}

std::uint16_t McapWriter::addSchema(const std::string& name, const std::string& encoding, const std::string& data)
{
    if (!isOpen() || m_schemaRecords.size() >= std::numeric_limits<std::uint16_t>::max() - 1)
        return 0;
    const auto id = static_cast<std::uint16_t>(m_schemaRecords.size() + 1);
    std::string content;
    mcap::appendU16(content, id);
    mcap::appendString(content, name);
    mcap::appendString(content, encoding);
    mcap::appendString(content, data);
    std::string record;
    mcap::appendRecord(record, Opcode::Schema, content);
    if (!writeBytes(record))
        return 0;
    m_schemaRecords.push_back(std::move(record));
    return id;
}

std::uint16_t McapWriter::addChannel(std::uint16_t schemaId, const std::string& topic,
                                     const std::string& messageEncoding, const Metadata& metadata)
{
    if (!isOpen() || m_channelRecords.size() >= std::numeric_limits<std::uint16_t>::max() - 1)
        return 0;
    const auto id = static_cast<std::uint16_t>(m_channelRecords.size() + 1);
    std::string content;
    mcap::appendU16(content, id);
    mcap::appendU16(content, schemaId);
    mcap::appendString(content, topic);
    mcap::appendString(content, messageEncoding);
    std::string pairs;
    for (const auto& [key, value] : metadata) {
        mcap::appendString(pairs, key);
        mcap::appendString(pairs, value);
    }
    mcap::appendU32(content, static_cast<std::uint32_t>(pairs.size()));
    content.append(pairs);
    std::string record;
    mcap::appendRecord(record, Opcode::Channel, content);
    if (!writeBytes(record))
        return 0;
    m_channelRecords.push_back(std::move(record));
    m_channelMessageCounts[id] = 0;
    return id;
}

bool McapWriter::addMessage(std::uint16_t channelId, std::uint64_t logTime, std::uint64_t publishTime,
                            const char* data, std::size_t size)
{
    if (!isOpen())
        return false;
    if (m_channelMessageCounts.find(channelId) == m_channelMessageCounts.end()) {
        m_lastError = "Unknown channel " + std::to_string(channelId);
        return false;
    }
    std::string content;
    content.reserve(22 + size);
    mcap::appendU16(content, channelId);
    mcap::appendU32(content, m_sequences[channelId]++);
    mcap::appendU64(content, logTime);
    mcap::appendU64(content, publishTime);
    content.append(data, size);

    if (m_chunkRecords.empty()) {
        m_chunkStart = logTime;
        m_chunkEnd = logTime;
    }
    m_chunkIndex[channelId].push_back({logTime, m_chunkRecords.size()});
    mcap::appendRecord(m_chunkRecords, Opcode::Message, content);
    m_chunkStart = std::min(m_chunkStart, logTime);
    m_chunkEnd = std::max(m_chunkEnd, logTime);

    m_firstTime = m_messageCount == 0 ? logTime : std::min(m_firstTime, logTime);
    m_lastTime = m_messageCount == 0 ? logTime : std::max(m_lastTime, logTime);
    ++m_messageCount;
    ++m_channelMessageCounts[channelId];

    if (m_chunkRecords.size() >= m_chunkBytes)
        return flushChunk();
    return true;
}

bool McapWriter::flushChunk()
{
    if (!isOpen())
        return false;
    if (m_chunkRecords.empty())
        return true;

    std::string content;
    mcap::appendU64(content, m_chunkStart);
    mcap::appendU64(content, m_chunkEnd);
    mcap::appendU64(content, m_chunkRecords.size());
    mcap::appendU32(content, Crc32::of(m_chunkRecords.data(), m_chunkRecords.size()));
    mcap::appendString(content, std::string()); // uncompressed: the pictures are JPEG already
    mcap::appendU64(content, m_chunkRecords.size());
    content.append(m_chunkRecords);

    ChunkIndexEntry entry{m_chunkStart, m_chunkEnd, m_offset, mcap::kRecordPrefixSize + content.size(), {}, 0,
                          m_chunkRecords.size()};
    std::string bytes;
    mcap::appendRecord(bytes, Opcode::Chunk, content);

    // Messages may arrive a little out of time order from different threads;
    // readers expect each index sorted by time.
    for (auto& [channelId, entries] : m_chunkIndex) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const IndexEntry& a, const IndexEntry& b) { return a.logTime < b.logTime; });
        std::string index;
        mcap::appendU16(index, channelId);
        mcap::appendU32(index, static_cast<std::uint32_t>(entries.size() * 16));
        for (const IndexEntry& e : entries) {
            mcap::appendU64(index, e.logTime);
            mcap::appendU64(index, e.offset);
        }
        entry.messageIndexOffsets[channelId] = m_offset + bytes.size();
        const std::size_t before = bytes.size();
        mcap::appendRecord(bytes, Opcode::MessageIndex, index);
        entry.messageIndexLength += bytes.size() - before;
    }

    m_chunkRecords.clear();
    m_chunkIndex.clear();
    if (!writeBytes(bytes))
        return false;
    m_chunkIndexes.push_back(std::move(entry));
    if (!m_file.sync())
        return fail(m_file.lastError());
    return true;
}

std::string McapWriter::summaryGroups(std::uint64_t summaryStart, std::string& offsets) const
{
    std::string summary;
    auto group = [&](Opcode opcode, const std::string& records) {
        if (records.empty())
            return;
        std::string offset;
        mcap::appendU8(offset, static_cast<std::uint8_t>(opcode));
        mcap::appendU64(offset, summaryStart + summary.size());
        mcap::appendU64(offset, records.size());
        mcap::appendRecord(offsets, Opcode::SummaryOffset, offset);
        summary.append(records);
    };

    std::string schemas, channels;
    for (const std::string& record : m_schemaRecords)
        schemas.append(record);
    for (const std::string& record : m_channelRecords)
        channels.append(record);
    group(Opcode::Schema, schemas);
    group(Opcode::Channel, channels);

    std::string statistics;
    mcap::appendU64(statistics, m_messageCount);
    mcap::appendU16(statistics, static_cast<std::uint16_t>(m_schemaRecords.size()));
    mcap::appendU32(statistics, static_cast<std::uint32_t>(m_channelRecords.size()));
    mcap::appendU32(statistics, 0); // attachments
    mcap::appendU32(statistics, 0); // metadata
    mcap::appendU32(statistics, static_cast<std::uint32_t>(m_chunkIndexes.size()));
    mcap::appendU64(statistics, m_firstTime);
    mcap::appendU64(statistics, m_lastTime);
    mcap::appendU32(statistics, static_cast<std::uint32_t>(m_channelMessageCounts.size() * 10));
    for (const auto& [channelId, count] : m_channelMessageCounts) {
        mcap::appendU16(statistics, channelId);
        mcap::appendU64(statistics, count);
    }
    std::string statisticsRecord;
    mcap::appendRecord(statisticsRecord, Opcode::Statistics, statistics);
    group(Opcode::Statistics, statisticsRecord);

    std::string chunkIndexes;
    for (const ChunkIndexEntry& e : m_chunkIndexes) {
        std::string content;
        mcap::appendU64(content, e.startTime);
        mcap::appendU64(content, e.endTime);
        mcap::appendU64(content, e.chunkOffset);
        mcap::appendU64(content, e.chunkLength);
        mcap::appendU32(content, static_cast<std::uint32_t>(e.messageIndexOffsets.size() * 10));
        for (const auto& [channelId, offset] : e.messageIndexOffsets) {
            mcap::appendU16(content, channelId);
            mcap::appendU64(content, offset);
        }
        mcap::appendU64(content, e.messageIndexLength);
        mcap::appendString(content, std::string());
        mcap::appendU64(content, e.recordsSize);
        mcap::appendU64(content, e.recordsSize);
        mcap::appendRecord(chunkIndexes, Opcode::ChunkIndex, content);
    }
    group(Opcode::ChunkIndex, chunkIndexes);
    return summary;
}

bool McapWriter::close()
{
    if (!isOpen())
        return false;
    if (!flushChunk())
        return false;

    std::string dataEnd;
    mcap::appendU32(dataEnd, m_dataCrc.value());
    std::string bytes;
    mcap::appendRecord(bytes, Opcode::DataEnd, dataEnd);
    const std::uint64_t summaryStart = m_offset + bytes.size();

    std::string offsets;
    const std::string summary = summaryGroups(summaryStart, offsets);
    const std::uint64_t summaryOffsetStart = summaryStart + summary.size();

    // The summary checksum covers the summary, its offsets and the footer up
    // to (not including) the checksum itself.
    std::string footerHead;
    mcap::appendU8(footerHead, static_cast<std::uint8_t>(Opcode::Footer));
    mcap::appendU64(footerHead, mcap::kFooterContentSize);
    mcap::appendU64(footerHead, summaryStart);
    mcap::appendU64(footerHead, summaryOffsetStart);
    Crc32 summaryCrc;
    summaryCrc.update(summary.data(), summary.size());
    summaryCrc.update(offsets.data(), offsets.size());
    summaryCrc.update(footerHead.data(), footerHead.size());

    bytes += summary;
    bytes += offsets;
    bytes += footerHead;
    mcap::appendU32(bytes, summaryCrc.value());
    bytes.append(mcap::kMagic, mcap::kMagicSize);
    if (!writeBytes(bytes))
        return false;
    if (!m_file.sync())
        return fail(m_file.lastError());
    if (!m_file.close())
        return fail(m_file.lastError());
    return true;
}
