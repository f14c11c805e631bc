#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of zlib and MCAP (reflected polynomial 0xEDB88320), computed
// incrementally so that a file's checksum grows with every write.
class Crc32
{
public:
    void update(const void* data, std::size_t size);
    std::uint32_t value() const { return m_state ^ 0xFFFFFFFFu; }

    static std::uint32_t of(const void* data, std::size_t size);

private:
    std::uint32_t m_state = 0xFFFFFFFFu;
};
