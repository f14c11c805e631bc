#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace selfupdate {

// SHA-256 (FIPS 180-4), used to verify downloaded packages against the digest
// published in the release catalog.
class Sha256 {
public:
    Sha256();

    void reset();
    // A null pointer or zero length does nothing; feeding a finalised hasher
    // starts a new hash.
    void update(const void* data, std::size_t length);
    std::vector<std::uint8_t> finalBytes();
    std::string finalHex();

    static std::string hashBytes(const void* data, std::size_t length);
    static std::string hashString(const std::string& text);
    // Throws std::runtime_error when the file cannot be opened.
    static std::string hashFile(const std::string& path);

private:
    void processBlocks(const std::uint8_t* blocks, std::size_t count);

    std::array<std::uint32_t, 8> m_state{};
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_bufferLength = 0;
    std::uint64_t m_totalLength = 0;
    bool m_finalized = false;
    std::vector<std::uint8_t> m_digest;
    std::string m_hex;
};

} // namespace selfupdate
