#include "support/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace pkx {
namespace {

std::string DigestOf(const std::string& text) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, text.data(), static_cast<uint32_t>(text.size()));
    uint8_t digest[16];
    MD5Final(digest, &context);
    return test::Hex(digest, 16);
}

// A byte pattern without short periods; reference digests were computed
// from the same bytes with `openssl md5` and `md5sum`.
std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
    }
    return bytes;
}

std::string PatternText(size_t length) {
    const std::vector<uint8_t> bytes = Pattern(length);
    return std::string(bytes.begin(), bytes.end());
}

// The RFC 1321 suite; then lengths around the padding boundary (from 56
// buffered bytes on, the padding takes an extra block) and across many blocks.
TEST(Md5, KnownDigests) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
        {PatternText(55), "1eec39e439a0686e0f16143c93e65544"},
        {PatternText(56), "99d69c39ec90af2fb1496b6e9c6c764d"},
        {PatternText(63), "6bb048b09bcadbcdfd181977323cdfd0"},
        {PatternText(64), "e2ea14ec96ad97249814fe4e07e09782"},
        {PatternText(65), "6eefe2eaf8f76d19fb53cbf452e5a331"},
        {PatternText(119), "34ec2dd3b6fce7edb56cd76666f819bf"},
        {PatternText(120), "06365e9cd131eec736e29727ab0608dd"},
        {PatternText(5 * 1024 * 1024 + 3), "e907bfe8413ac14a1fdff370f5bb0d54"},
    };
    for (const auto& [text, digest] : cases) EXPECT_EQ(DigestOf(text), digest) << text.size();
}

// Feeds `data` in pieces whose lengths `nextPiece` chooses.
template <typename NextPiece>
std::string DigestInPieces(const std::vector<uint8_t>& data, NextPiece nextPiece) {
    MD5_CTX context;
    MD5Init(&context);
    size_t offset = 0;
    while (offset < data.size()) {
        const size_t piece = std::min(nextPiece(), data.size() - offset);
        MD5Update(&context, data.data() + offset, static_cast<uint32_t>(piece));
        offset += piece;
    }
    uint8_t digest[16];
    MD5Final(digest, &context);
    return test::Hex(digest, 16);
}

TEST(Md5, ChunkingDoesNotChangeTheDigest) {
    const std::vector<uint8_t> data = Pattern(10007);
    const char* const expected = "d91fd7ef2cee60223fb91026b837c391";

    for (const size_t piece : {size_t{512}, size_t{1}}) {
        EXPECT_EQ(DigestInPieces(data, [piece] { return piece; }), expected);
    }
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<size_t> length(0, 200);  // zero-length calls included
        EXPECT_EQ(DigestInPieces(data, [&] { return length(random); }), expected)
            << "seed " << seed;
    }
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    MD5_CTX context;
    MD5Init(&context);
    // As if 2^29 - 64 bytes had been hashed: one more block wraps the low word.
    context.count[0] = 0xFFFFFE00u;
    context.count[1] = 0;
    const std::vector<uint8_t> block = Pattern(64);
    MD5Update(&context, block.data(), 64);
    EXPECT_EQ(context.count[0], 0u);
    EXPECT_EQ(context.count[1], 1u);
}

TEST(Md5, FinalLeavesOnlyZeroBytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, "some bytes left in the block buffer", 35);
    uint8_t digest[16];
    MD5Final(digest, &context);

    uint8_t zeros[sizeof(MD5_CTX)] = {};
    EXPECT_EQ(std::memcmp(&context, zeros, sizeof context), 0);
    EXPECT_EQ(test::Hex(digest, 16), DigestOf("some bytes left in the block buffer"));
}

}  // namespace
}  // namespace pkx
