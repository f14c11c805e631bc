#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Reads an MCAP file held in memory without trusting it: every length and
// offset is checked against the bytes present, checksums are verified, and
// the summary is compared with what the data section really holds. A file
// cut short (a crash while recording) still yields every complete record
// before the cut; the cut itself is reported as a problem.
class McapReader
{
public:
    struct Schema
    {
        std::uint16_t id = 0;
        std::string name;
        std::string encoding;
        std::string data;
    };
    struct Channel
    {
        std::uint16_t id = 0;
        std::uint16_t schemaId = 0;
        std::string topic;
        std::string messageEncoding;
    };
    // A message's data points into the buffer given to read().
    struct Message
    {
        std::uint16_t channelId = 0;
        std::uint32_t sequence = 0;
        std::uint64_t logTime = 0;
        std::uint64_t publishTime = 0;
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };
    struct Statistics
    {
        std::uint64_t messageCount = 0;
        std::uint32_t chunkCount = 0;
        std::uint64_t messageStartTime = 0;
        std::uint64_t messageEndTime = 0;
        std::map<std::uint16_t, std::uint64_t> channelMessageCounts;
    };

    // Parses the whole buffer, which must outlive the reader's messages.
    // False when the bytes are not an MCAP file at all; true otherwise, with
    // problems() listing whatever is wrong with it.
    bool read(const std::uint8_t* data, std::size_t size);

    // True when the file ends with its summary and footer and nothing in it
    // disagrees with anything else.
    bool isIntact() const { return m_problems.empty(); }
    // Whether the file stops before its summary, as a crash leaves it.
    bool isCutShort() const { return m_cutShort; }
    const std::vector<std::string>& problems() const { return m_problems; }

    const std::string& library() const { return m_library; }
    const std::map<std::uint16_t, Schema>& schemas() const { return m_schemas; }
    const std::map<std::uint16_t, Channel>& channels() const { return m_channels; }
    // Every readable message, in file order.
    const std::vector<Message>& messages() const { return m_messages; }
    // The summary's statistics, when the file has them.
    const Statistics* statistics() const { return m_hasStatistics ? &m_statistics : nullptr; }
    std::size_t chunkCount() const { return m_chunkCount; }

    // Messages of one topic, in time order.
    std::vector<Message> messagesOnTopic(const std::string& topic) const;

private:
    void problem(std::string text);
    void readRecord(std::uint8_t opcode, const std::uint8_t* content, std::size_t size, std::size_t recordStart,
                    const std::uint8_t* fileStart);
    bool readSchema(const std::uint8_t* content, std::size_t size);
    bool readChannel(const std::uint8_t* content, std::size_t size);
    bool readMessage(const std::uint8_t* content, std::size_t size, std::vector<Message>& into);
    void readChunk(const std::uint8_t* content, std::size_t size);
    bool readStatistics(const std::uint8_t* content, std::size_t size);
    void readFooter(const std::uint8_t* content, std::size_t size, const std::uint8_t* fileStart,
                    std::size_t footerStart);
    void compareWithSummary();

    std::string m_library;
    std::map<std::uint16_t, Schema> m_schemas;
    std::map<std::uint16_t, Channel> m_channels;
    std::vector<Message> m_messages;
    Statistics m_statistics;
    bool m_hasStatistics = false;
    std::size_t m_chunkCount = 0;
    std::size_t m_chunkIndexCount = 0;
    bool m_inSummary = false;
    bool m_footerSeen = false;
    bool m_cutShort = false;
    std::vector<std::string> m_problems;
};
