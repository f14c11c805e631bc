// SHA-256 throughput of selfupdate::Sha256 against OpenSSL's, same inputs,
// same run. Prints MB/s for both and the ratio (ours / OpenSSL).
#include "selfupdate/sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double bestSeconds(const std::function<void()>& run, int rounds)
{
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

void measure(const char* label, const std::vector<unsigned char>& data, std::size_t pieceSize, int rounds)
{
    std::string ours;
    std::string theirs;
    const double oursSeconds = bestSeconds(
        [&] {
            selfupdate::Sha256 hasher;
            for (std::size_t offset = 0; offset < data.size(); offset += pieceSize)
                hasher.update(data.data() + offset, std::min(pieceSize, data.size() - offset));
            ours = hasher.finalHex();
        },
        rounds);
    const double opensslSeconds = bestSeconds(
        [&] {
            EVP_MD_CTX* context = EVP_MD_CTX_new();
            EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
            for (std::size_t offset = 0; offset < data.size(); offset += pieceSize)
                EVP_DigestUpdate(context, data.data() + offset, std::min(pieceSize, data.size() - offset));
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            EVP_DigestFinal_ex(context, digest, &length);
            EVP_MD_CTX_free(context);
            char hex[2 * EVP_MAX_MD_SIZE + 1];
            for (unsigned int i = 0; i < length; ++i)
                std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            theirs.assign(hex, 2 * length);
        },
        rounds);
    const double megabytes = static_cast<double>(data.size()) / 1e6;
    std::printf("%-28s ours %8.1f MB/s   OpenSSL %8.1f MB/s   ratio %.2f%s\n", label, megabytes / oursSeconds,
                megabytes / opensslSeconds, opensslSeconds / oursSeconds, ours == theirs ? "" : "   DIGESTS DIFFER");
}

} // namespace

int main()
{
    std::vector<unsigned char> data(64u * 1024u * 1024u);
    std::mt19937 generator(42);
    for (unsigned char& byte : data)
        byte = static_cast<unsigned char>(generator());

    std::printf("SHA-256 over 64 MiB, best of 5 runs each\n");
    measure("65536-byte updates (file)", data, 65536, 5);
    measure("16384-byte updates (HTTP)", data, 16384, 5);
    measure("61-byte updates (unaligned)", data, 61, 3);
    return 0;
}
