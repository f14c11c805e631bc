#include "selfupdate/sha256.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SELFUPDATE_SHA256_X86 1
#endif

namespace selfupdate {

namespace {

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Packages are read in blocks of this size when hashing a file.
constexpr std::size_t kFileBlockSize = 65536;

inline std::uint32_t rotateRight(std::uint32_t value, int count)
{
    return (value >> count) | (value << (32 - count));
}

inline std::uint32_t loadBigEndian(const std::uint8_t* bytes)
{
    return (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) |
           std::uint32_t(bytes[3]);
}

} // namespace

Sha256::Sha256()
{
    reset();
}

void Sha256::reset()
{
    m_state = kInitialState;
    m_bufferLength = 0;
    m_totalLength = 0;
    m_finalized = false;
    m_digest.clear();
    m_hex.clear();
}

namespace {

void compressPortable(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count)
{
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = loadBigEndian(blocks + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }

        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choose + kRoundConstants[i] + w[i];
            const std::uint32_t s0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef SELFUPDATE_SHA256_X86
// The x86 SHA extensions do two rounds per instruction; packages of tens of
// megabytes are verified several times faster than by the portable code.
// The state lives in two registers in the order the instructions expect:
// (a, b, e, f) and (c, d, g, h).
__attribute__((target("sha,sse4.1,ssse3"))) void compressShaExtensions(std::uint32_t* state,
                                                                        const std::uint8_t* blocks,
                                                                        std::size_t count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            // Message words 4*group .. 4*group+3, kept in a ring of four.
            if (group < 4) {
                w[group] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byteSwap);
            } else {
                __m128i next = _mm_sha256msg1_epu32(w[group % 4], w[(group + 1) % 4]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(group + 3) % 4], w[(group + 2) % 4], 4));
                w[group % 4] = _mm_sha256msg2_epu32(next, w[(group + 3) % 4]);
            }
            const __m128i message = _mm_add_epi32(
                w[group % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants.data() + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool cpuHasShaExtensions()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}
#endif

using CompressFunction = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

CompressFunction chooseCompress()
{
#ifdef SELFUPDATE_SHA256_X86
    // KESTRO_SHA256_PORTABLE forces the portable code (tests compare both).
    if (cpuHasShaExtensions() && std::getenv("KESTRO_SHA256_PORTABLE") == nullptr)
        return compressShaExtensions;
#endif
    return compressPortable;
}

} // namespace

void Sha256::processBlocks(const std::uint8_t* blocks, std::size_t count)
{
    static const CompressFunction compress = chooseCompress();
    compress(m_state.data(), blocks, count);
}

void Sha256::update(const void* data, std::size_t length)
{
    if (data == nullptr || length == 0)
        return;
    if (m_finalized)
        reset();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_totalLength += length;

    if (m_bufferLength > 0) {
        const std::size_t take = std::min(length, m_buffer.size() - m_bufferLength);
        std::memcpy(m_buffer.data() + m_bufferLength, bytes, take);
        m_bufferLength += take;
        bytes += take;
        length -= take;
        if (m_bufferLength < m_buffer.size())
            return;
        processBlocks(m_buffer.data(), 1);
        m_bufferLength = 0;
    }
    if (length >= 64) {
        const std::size_t blocks = length / 64;
        processBlocks(bytes, blocks);
        bytes += blocks * 64;
        length -= blocks * 64;
    }
    if (length > 0) {
        std::memcpy(m_buffer.data(), bytes, length);
        m_bufferLength = length;
    }
}

std::vector<std::uint8_t> Sha256::finalBytes()
{
    if (m_finalized)
        return m_digest;

    const std::uint64_t bitLength = m_totalLength * 8;
    m_buffer[m_bufferLength++] = 0x80;
    if (m_bufferLength > 56) {
        std::memset(m_buffer.data() + m_bufferLength, 0, m_buffer.size() - m_bufferLength);
        processBlocks(m_buffer.data(), 1);
        m_bufferLength = 0;
    }
    std::memset(m_buffer.data() + m_bufferLength, 0, 56 - m_bufferLength);
    for (int i = 0; i < 8; ++i)
        m_buffer[56 + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
    processBlocks(m_buffer.data(), 1);
    m_bufferLength = 0;

    static const char kHexDigits[] = "0123456789abcdef";
    m_digest.assign(32, 0);
    m_hex.clear();
    for (int i = 0; i < 32; ++i) {
        const auto byte = static_cast<std::uint8_t>(m_state[i / 4] >> (24 - 8 * (i % 4)));
        m_digest[i] = byte;
        m_hex.push_back(kHexDigits[byte >> 4]);
        m_hex.push_back(kHexDigits[byte & 0x0F]);
    }
    m_finalized = true;
    return m_digest;
}

std::string Sha256::finalHex()
{
    if (!m_finalized)
        finalBytes();
    return m_hex;
}

std::string Sha256::hashBytes(const void* data, std::size_t length)
{
    Sha256 hasher;
    hasher.update(data, length);
    return hasher.finalHex();
}

std::string Sha256::hashString(const std::string& text)
{
    return hashBytes(text.data(), text.size());
}

std::string Sha256::hashFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open file for SHA-256 calculation: " + path);
    Sha256 hasher;
    std::vector<char> block(kFileBlockSize);
    // A read error part-way simply ends the input, as for a short file.
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0)
            break;
        hasher.update(block.data(), static_cast<std::size_t>(got));
    }
    return hasher.finalHex();
}

} // namespace selfupdate
