#include "record/mcap_format.h"

namespace mcap {

void appendU8(std::string& out, std::uint8_t value)
{
    out.push_back(static_cast<char>(value));
}

void appendU16(std::string& out, std::uint16_t value)
{
    for (int shift = 0; shift < 16; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendU32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendU64(std::string& out, std::uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void appendString(std::string& out, const std::string& value)
{
    appendU32(out, static_cast<std::uint32_t>(value.size()));
    out.append(value);
}

void appendRecord(std::string& out, Opcode opcode, const std::string& content)
{
    appendU8(out, static_cast<std::uint8_t>(opcode));
    appendU64(out, content.size());
    out.append(content);
}

bool ByteReader::take(std::uint64_t count)
{
    if (!m_ok || count > m_size - m_position) {
        m_ok = false;
        return false;
    }
    m_position += static_cast<std::size_t>(count);
    return true;
}

namespace {
template <typename T>
T readLittleEndian(const std::uint8_t* data)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<T>(data[i]) << (8 * i);
    return value;
}
} // namespace

std::uint8_t ByteReader::u8()
{
    const std::size_t at = m_position;
    return take(1) ? m_data[at] : 0;
}

std::uint16_t ByteReader::u16()
{
    const std::size_t at = m_position;
    return take(2) ? readLittleEndian<std::uint16_t>(m_data + at) : 0;
}

std::uint32_t ByteReader::u32()
{
    const std::size_t at = m_position;
    return take(4) ? readLittleEndian<std::uint32_t>(m_data + at) : 0;
}

std::uint64_t ByteReader::u64()
{
    const std::size_t at = m_position;
    return take(8) ? readLittleEndian<std::uint64_t>(m_data + at) : 0;
}

std::string ByteReader::string()
{
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (!bytes32(data, size))
        return {};
    return std::string(reinterpret_cast<const char*>(data), size);
}

bool ByteReader::bytes32(const std::uint8_t*& data, std::size_t& size)
{
    const std::uint32_t length = u32();
    const std::size_t at = m_position;
    if (!take(length))
        return false;
    data = m_data + at;
    size = length;
    return true;
}

bool ByteReader::bytes64(const std::uint8_t*& data, std::size_t& size)
{
    const std::uint64_t length = u64();
    const std::size_t at = m_position;
    if (!take(length))
        return false;
    data = m_data + at;
    size = static_cast<std::size_t>(length);
    return true;
}

ByteReader ByteReader::sub(std::uint64_t size)
{
    const std::size_t at = m_position;
    if (!take(size)) {
        ByteReader failed(m_data, 0);
        failed.m_ok = false;
        return failed;
    }
    return ByteReader(m_data + at, static_cast<std::size_t>(size));
}

} // namespace mcap
