#include "selfupdate/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <stdexcept>
#include <string>

#include "test_support.h"

using selfupdate::Sha256;

namespace {

std::string opensslHex(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}

} // namespace

TEST(Sha256, MatchesOpenSslForEveryLengthUpTo200)
{
    for (std::size_t length = 0; length <= 200; ++length) {
        const std::string bytes = selfupdate_test::randomBytes(length, static_cast<unsigned>(length) + 1);
        const std::string expected = opensslHex(bytes);
        ASSERT_EQ(Sha256::hashBytes(bytes.data(), bytes.size()), expected) << "length " << length;

        // The same input fed in two uneven pieces gives the same digest.
        Sha256 split;
        const std::size_t cut = length / 3;
        split.update(bytes.data(), cut);
        split.update(bytes.data() + cut, length - cut);
        ASSERT_EQ(split.finalHex(), expected) << "split at " << cut << " of " << length;
    }
}

TEST(Sha256, KnownVectorsAndFinalisation)
{
    EXPECT_EQ(Sha256::hashString(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hashString("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    Sha256 hasher;
    hasher.update("abc", 3);
    hasher.update(nullptr, 5); // ignored
    hasher.update("x", 0);     // ignored
    const std::vector<std::uint8_t> bytes = hasher.finalBytes();
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes[0], 0xba);
    EXPECT_EQ(bytes[31], 0xad);
    EXPECT_EQ(hasher.finalHex(), Sha256::hashString("abc"));
    EXPECT_EQ(hasher.finalHex(), Sha256::hashString("abc")); // repeated calls agree

    // Feeding a finalised hasher starts a new hash.
    hasher.update("de", 2);
    EXPECT_EQ(hasher.finalHex(), Sha256::hashString("de"));
    hasher.reset();
    EXPECT_EQ(hasher.finalHex(), Sha256::hashString(""));
}

TEST(Sha256, HashesLargeFilesLikeOpenSsl)
{
    selfupdate_test::TemporaryFolder folder;
    // Sizes around the 65536-byte read block and a few megabytes.
    for (std::size_t size : {65535u, 65536u, 65537u, 3u * 1024u * 1024u + 17u}) {
        const std::string bytes = selfupdate_test::randomBytes(size, static_cast<unsigned>(size));
        const std::string path = folder.file("blob.bin");
        selfupdate_test::writeFile(path, bytes);
        EXPECT_EQ(Sha256::hashFile(path), opensslHex(bytes)) << size;
    }
    const std::string missing = folder.file("missing.bin");
    try {
        Sha256::hashFile(missing);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Cannot open file for SHA-256 calculation: " + missing);
    }
}
