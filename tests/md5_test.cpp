#include "support/md5.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/test_support.h"

namespace pkx {
namespace {

std::string DigestOf(const std::string& data) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, data.data(), static_cast<uint32_t>(data.size()));
    uint8_t digest[16];
    MD5Final(digest, &context);
    return test::Hex(digest, 16);
}

// A byte pattern without short periods; reference digests were computed
// from the same bytes with `openssl md5` and `md5sum`.
std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
    }
    return bytes;
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
        {Pattern(55), "1eec39e439a0686e0f16143c93e65544"},
        {Pattern(56), "99d69c39ec90af2fb1496b6e9c6c764d"},
        {Pattern(63), "6bb048b09bcadbcdfd181977323cdfd0"},
        {Pattern(64), "e2ea14ec96ad97249814fe4e07e09782"},
        {Pattern(65), "6eefe2eaf8f76d19fb53cbf452e5a331"},
        {Pattern(119), "34ec2dd3b6fce7edb56cd76666f819bf"},
        {Pattern(120), "06365e9cd131eec736e29727ab0608dd"},
        {Pattern(5 * 1024 * 1024 + 3), "e907bfe8413ac14a1fdff370f5bb0d54"},
    };
    for (const auto& [text, digest] : cases) EXPECT_EQ(DigestOf(text), digest) << text.size();
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    MD5_CTX context;
    MD5Init(&context);
    // As if 2^29 - 64 bytes had been hashed: one more block wraps the low word.
    context.count[0] = 0xFFFFFE00u;
    context.count[1] = 0;
    MD5Update(&context, Pattern(64).data(), 64);
    EXPECT_EQ(context.count[0], 0u);
    EXPECT_EQ(context.count[1], 1u);
}

// Nothing of the hashed bytes (a password, say) stays in the context.
TEST(Md5, FinalLeavesOnlyZeroBytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, "some bytes left in the block buffer", 35);
    uint8_t digest[16];
    MD5Final(digest, &context);
    const MD5_CTX zeros = {};
    EXPECT_EQ(std::memcmp(&context, &zeros, sizeof context), 0);
    EXPECT_EQ(test::Hex(digest, 16), DigestOf("some bytes left in the block buffer"));
}

}  // namespace
}  // namespace pkx
