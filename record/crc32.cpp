#include "record/crc32.h"

#include <array>

namespace {

// Four tables, so the loop folds four bytes per step: a recording checksums
// every byte it writes, a few megabytes a second.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 4>;

CrcTables makeTables()
{
    CrcTables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables[0][byte] = crc;
    }
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        for (std::size_t t = 1; t < tables.size(); ++t)
            tables[t][byte] = (tables[t - 1][byte] >> 8) ^ tables[0][tables[t - 1][byte] & 0xFFu];
    }
    return tables;
}

const CrcTables& tables()
{
    static const CrcTables instance = makeTables();
    return instance;
}

} // namespace

void Crc32::update(const void* data, std::size_t size)
{
    const CrcTables& t = tables();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = m_state;
    while (size >= 4) {
        crc ^= static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
               static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
        crc = t[3][crc & 0xFFu] ^ t[2][(crc >> 8) & 0xFFu] ^ t[1][(crc >> 16) & 0xFFu] ^ t[0][crc >> 24];
        bytes += 4;
        size -= 4;
    }
    while (size-- > 0)
        crc = (crc >> 8) ^ t[0][(crc ^ *bytes++) & 0xFFu];
    m_state = crc;
}

std::uint32_t Crc32::of(const void* data, std::size_t size)
{
    Crc32 crc;
    crc.update(data, size);
    return crc.value();
}
