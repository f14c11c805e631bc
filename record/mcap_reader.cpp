#include "record/mcap_reader.h"

#include "record/crc32.h"
#include "record/mcap_format.h"

#include <algorithm>
#include <cstring>
#include <optional>

using mcap::ByteReader;
using mcap::Opcode;

namespace {
// A hostile file could report a problem per record; a reader of the report
// needs the first few.
constexpr std::size_t kMaxProblems = 20;

// Parses one record's content into a Record with `fields`, which reads the
// fields in order (a braced list evaluates left to right) and answers whether
// their values make sense together. The record counts only when every field
// lay inside the content: a length that points past it fails the reader, and
// the whole record is dropped.
template <typename Record, typename Fields>
std::optional<Record> readFields(const std::uint8_t* content, std::size_t size, Fields fields)
{
    ByteReader reader(content, size);
    Record record;
    const bool consistent = fields(reader, record);
    if (!consistent || !reader.ok())
        return std::nullopt;
    return record;
}

// Steps over a length-prefixed map of string pairs (a channel's metadata);
// false when the map claims more bytes than the record holds.
bool skipStringMap(ByteReader& reader)
{
    ByteReader map = reader.sub(reader.u32());
    while (map.ok() && map.remaining() > 0) {
        map.string();
        map.string();
    }
    return map.ok();
}
} // namespace

void McapReader::problem(std::string text)
{
    if (m_problems.size() < kMaxProblems)
        m_problems.push_back(std::move(text));
}

bool McapReader::read(const std::uint8_t* data, std::size_t size)
{
    *this = McapReader();
    if (size < mcap::kMagicSize || std::memcmp(data, mcap::kMagic, mcap::kMagicSize) != 0) {
        problem("not an MCAP file (no magic bytes at the start)");
        return false;
    }

    std::size_t position = mcap::kMagicSize;
    bool first = true;
    while (!m_footerSeen) {
        const std::size_t left = size - position;
        if (left < mcap::kRecordPrefixSize) {
            m_cutShort = true;
            problem(left == 0 ? "the file ends without its summary and footer (the recording was cut off)"
                              : "the file ends inside a record (the recording was cut off)");
            break;
        }
        ByteReader prefix(data + position, left);
        const std::uint8_t opcode = prefix.u8();
        const std::uint64_t length = prefix.u64();
        if (length > left - mcap::kRecordPrefixSize) {
            m_cutShort = true;
            problem("the file ends inside a record at byte " + std::to_string(position) +
                    " (the recording was cut off)");
            break;
        }
        if (first && opcode != static_cast<std::uint8_t>(Opcode::Header)) {
            problem("the first record is not a header");
            return false;
        }
        first = false;
        readRecord(opcode, data + position + mcap::kRecordPrefixSize, static_cast<std::size_t>(length), position,
                   data);
        position += mcap::kRecordPrefixSize + static_cast<std::size_t>(length);
        if (m_footerSeen && size - position < mcap::kMagicSize) {
            m_cutShort = true;
            problem("the file ends before its closing magic bytes (the recording was cut off)");
        } else if (m_footerSeen && (size - position != mcap::kMagicSize ||
                                    std::memcmp(data + position, mcap::kMagic, mcap::kMagicSize) != 0)) {
            problem("the footer is not followed by the closing magic bytes");
        }
    }
    if (m_footerSeen)
        compareWithSummary();
    return true;
}

void McapReader::readRecord(std::uint8_t opcode, const std::uint8_t* content, std::size_t size,
                            std::size_t recordStart, const std::uint8_t* fileStart)
{
    const std::string where = " at byte " + std::to_string(recordStart);
    switch (static_cast<Opcode>(opcode)) {
    case Opcode::Header: {
        ByteReader reader(content, size);
        reader.string();
        m_library = reader.string();
        if (!reader.ok())
            problem("damaged header");
        return;
    }
    case Opcode::Schema:
        if (!m_inSummary && !readSchema(content, size))
            problem("damaged schema" + where);
        return;
    case Opcode::Channel:
        if (!m_inSummary && !readChannel(content, size))
            problem("damaged channel" + where);
        return;
    case Opcode::Message:
        if (!readMessage(content, size, m_messages))
            problem("damaged message" + where);
        return;
    case Opcode::Chunk:
        readChunk(content, size);
        return;
    case Opcode::DataEnd: {
        ByteReader reader(content, size);
        const std::uint32_t crc = reader.u32();
        if (!reader.ok())
            problem("damaged data end record");
        else if (crc != 0 && crc != Crc32::of(fileStart, recordStart))
            problem("the data section's checksum does not match");
        m_inSummary = true;
        return;
    }
    case Opcode::Statistics:
        if (!readStatistics(content, size))
            problem("damaged statistics" + where);
        return;
    case Opcode::ChunkIndex:
        ++m_chunkIndexCount;
        return;
    case Opcode::Footer:
        readFooter(content, size, fileStart, recordStart);
        return;
    default:
        // Message indexes, attachments, metadata and summary offsets carry
        // nothing this reader needs; unknown opcodes are allowed by the format.
        return;
    }
}

bool McapReader::readSchema(const std::uint8_t* content, std::size_t size)
{
    std::optional<Schema> schema = readFields<Schema>(content, size, [](ByteReader& in, Schema& out) {
        out = {in.u16(), in.string(), in.string(), in.string()};
        return out.id != 0; // id 0 is the format's "no schema"
    });
    if (!schema)
        return false;
    m_schemas[schema->id] = std::move(*schema);
    return true;
}

bool McapReader::readChannel(const std::uint8_t* content, std::size_t size)
{
    std::optional<Channel> channel = readFields<Channel>(content, size, [](ByteReader& in, Channel& out) {
        out = {in.u16(), in.u16(), in.string(), in.string()};
        return skipStringMap(in); // the metadata, which nothing here needs
    });
    if (!channel)
        return false;
    if (channel->schemaId != 0 && m_schemas.find(channel->schemaId) == m_schemas.end())
        problem("channel " + channel->topic + " names a schema that is not in the file");
    m_channels[channel->id] = std::move(*channel);
    return true;
}

bool McapReader::readMessage(const std::uint8_t* content, std::size_t size, std::vector<Message>& into)
{
    // The payload is the rest of the record, left where it is.
    const std::optional<Message> message = readFields<Message>(content, size, [](ByteReader& in, Message& out) {
        out = {in.u16(), in.u32(), in.u64(), in.u64(), in.current(), in.remaining()};
        return true;
    });
    if (!message)
        return false;
    if (m_channels.find(message->channelId) == m_channels.end()) {
        problem("a message names channel " + std::to_string(message->channelId) + ", which is not in the file");
        return true;
    }
    into.push_back(*message);
    return true;
}

void McapReader::readChunk(const std::uint8_t* content, std::size_t size)
{
    const std::string which = "chunk " + std::to_string(m_chunkCount + 1);
    ++m_chunkCount;
    ByteReader reader(content, size);
    const std::uint64_t startTime = reader.u64();
    const std::uint64_t endTime = reader.u64();
    const std::uint64_t uncompressedSize = reader.u64();
    const std::uint32_t crc = reader.u32();
    const std::string compression = reader.string();
    const std::uint8_t* records = nullptr;
    std::size_t recordsSize = 0;
    if (!reader.bytes64(records, recordsSize) || !reader.ok()) {
        problem("damaged " + which);
        return;
    }
    if (!compression.empty()) {
        problem(which + " is compressed with " + compression + ", which this reader does not read");
        return;
    }
    if (uncompressedSize != recordsSize) {
        problem(which + " states the wrong size");
        return;
    }
    if (crc != 0 && crc != Crc32::of(records, recordsSize)) {
        problem(which + "'s checksum does not match");
        return;
    }

    // Messages of a damaged chunk are all dropped: none of them can be trusted.
    std::vector<Message> found;
    std::size_t position = 0;
    while (position < recordsSize) {
        ByteReader prefix(records + position, recordsSize - position);
        const std::uint8_t opcode = prefix.u8();
        const std::uint64_t length = prefix.u64();
        if (!prefix.ok() || length > prefix.remaining()) {
            problem("damaged record inside " + which);
            return;
        }
        const std::uint8_t* body = records + position + mcap::kRecordPrefixSize;
        const auto bodySize = static_cast<std::size_t>(length);
        bool ok = true;
        if (opcode == static_cast<std::uint8_t>(Opcode::Message))
            ok = readMessage(body, bodySize, found);
        else if (opcode == static_cast<std::uint8_t>(Opcode::Schema))
            ok = readSchema(body, bodySize);
        else if (opcode == static_cast<std::uint8_t>(Opcode::Channel))
            ok = readChannel(body, bodySize);
        if (!ok) {
            problem("damaged record inside " + which);
            return;
        }
        position += mcap::kRecordPrefixSize + bodySize;
    }
    for (const Message& message : found) {
        if (message.logTime < startTime || message.logTime > endTime) {
            problem(which + " holds a message outside its stated time range");
            break;
        }
    }
    m_messages.insert(m_messages.end(), found.begin(), found.end());
}

bool McapReader::readStatistics(const std::uint8_t* content, std::size_t size)
{
    std::optional<Statistics> statistics =
        readFields<Statistics>(content, size, [](ByteReader& reader, Statistics& out) {
            out.messageCount = reader.u64();
            reader.u16(); // schemas
            reader.u32(); // channels
            reader.u32(); // attachments
            reader.u32(); // metadata
            out.chunkCount = reader.u32();
            out.messageStartTime = reader.u64();
            out.messageEndTime = reader.u64();
            ByteReader counts = reader.sub(reader.u32());
            while (counts.ok() && counts.remaining() > 0) {
                const std::uint16_t channelId = counts.u16();
                out.channelMessageCounts[channelId] = counts.u64();
            }
            return counts.ok();
        });
    if (!statistics)
        return false;
    m_statistics = std::move(*statistics);
    m_hasStatistics = true;
    return true;
}

void McapReader::readFooter(const std::uint8_t* content, std::size_t size, const std::uint8_t* fileStart,
                            std::size_t footerStart)
{
    m_footerSeen = true;
    ByteReader reader(content, size);
    const std::uint64_t summaryStart = reader.u64();
    reader.u64(); // summary offset start
    const std::uint32_t crc = reader.u32();
    if (!reader.ok()) {
        problem("damaged footer");
        return;
    }
    if (summaryStart > footerStart) {
        problem("the footer points outside the file");
        return;
    }
    // The checksum runs from the summary to the footer's last offset field.
    const std::size_t covered = footerStart + mcap::kRecordPrefixSize + 16 - static_cast<std::size_t>(summaryStart);
    if (crc != 0 && crc != Crc32::of(fileStart + summaryStart, covered))
        problem("the summary's checksum does not match");
    if (!m_inSummary)
        problem("the footer comes without a data end record");
}

void McapReader::compareWithSummary()
{
    if (!m_hasStatistics)
        return;
    if (m_statistics.messageCount != m_messages.size())
        problem("the summary counts " + std::to_string(m_statistics.messageCount) + " messages, the file holds " +
                std::to_string(m_messages.size()));
    if (m_statistics.chunkCount != m_chunkCount || m_chunkIndexCount != m_chunkCount)
        problem("the summary's chunk count or chunk indexes disagree with the chunks in the file");
    std::map<std::uint16_t, std::uint64_t> counted;
    for (const Message& message : m_messages)
        ++counted[message.channelId];
    for (const auto& [channelId, count] : m_statistics.channelMessageCounts) {
        if (counted[channelId] != count) {
            problem("the summary's message count for channel " + std::to_string(channelId) + " is wrong");
            break;
        }
    }
}

std::vector<McapReader::Message> McapReader::messagesOnTopic(const std::string& topic) const
{
    std::vector<Message> result;
    for (const Message& message : m_messages) {
        const auto channel = m_channels.find(message.channelId);
        if (channel != m_channels.end() && channel->second.topic == topic)
            result.push_back(message);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const Message& a, const Message& b) { return a.logTime < b.logTime; });
    return result;
}
