#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The record layout of MCAP files, shared by the writer and the reader: every
// record is an opcode byte, a 64-bit little-endian content length and the
// content; strings and byte arrays carry a 32-bit length in front.
namespace mcap {

constexpr char kMagic[] = {'\x89', 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr std::size_t kMagicSize = sizeof kMagic;
// Opcode byte plus the 64-bit length in front of every record's content.
constexpr std::size_t kRecordPrefixSize = 9;
// Footer content: summary start, summary offset start, summary CRC.
constexpr std::size_t kFooterContentSize = 8 + 8 + 4;

enum class Opcode : std::uint8_t {
    Header = 0x01,
    Footer = 0x02,
    Schema = 0x03,
    Channel = 0x04,
    Message = 0x05,
    Chunk = 0x06,
    MessageIndex = 0x07,
    ChunkIndex = 0x08,
    Attachment = 0x09,
    AttachmentIndex = 0x0A,
    Statistics = 0x0B,
    Metadata = 0x0C,
    MetadataIndex = 0x0D,
    SummaryOffset = 0x0E,
    DataEnd = 0x0F,
};

// Little-endian appenders for building record contents.
void appendU8(std::string& out, std::uint8_t value);
void appendU16(std::string& out, std::uint16_t value);
void appendU32(std::string& out, std::uint32_t value);
void appendU64(std::string& out, std::uint64_t value);
void appendString(std::string& out, const std::string& value);
void appendRecord(std::string& out, Opcode opcode, const std::string& content);

// Bounds-checked little-endian reading of one record's content: every read
// past the end fails and leaves the reader failed, so a parser checks once
// at the end instead of before every field.
class ByteReader
{
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::uint64_t u64();
    std::string string();
    // A 32-bit-length prefixed byte array, returned as a view into the data.
    bool bytes32(const std::uint8_t*& data, std::size_t& size);
    bool bytes64(const std::uint8_t*& data, std::size_t& size);
    // Narrows the reader to the next `size` bytes (a map or array body) and
    // skips them here.
    ByteReader sub(std::uint64_t size);

    bool ok() const { return m_ok; }
    std::size_t position() const { return m_position; }
    std::size_t remaining() const { return m_ok ? m_size - m_position : 0; }
    const std::uint8_t* current() const { return m_data + m_position; }

private:
    bool take(std::uint64_t count);

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
    bool m_ok = true;
};

} // namespace mcap
