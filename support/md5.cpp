#include "support/md5.h"

#include <cstddef>
#include <cstring>

namespace pkx {
namespace {

inline uint32_t LoadLe32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);  // unaligned-safe; compiles to one load
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap32(value);
#endif
    return value;
}

inline void StoreLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t RotateLeft(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// Each step adds the message word and constant first, then the parts of the
// round function that do not depend on `b` (the value computed one step
// before), so the critical path through `b` stays as short as possible.

// F(b,c,d) = (b & c) | (~b & d), written as d ^ (b & (c ^ d)).
#define PKX_MD5_F(a, b, c, d, i, k, s)    \
    a += LoadLe32(block + 4 * (i)) + (k); \
    a += (d) ^ ((b) & ((c) ^ (d)));       \
    a = RotateLeft(a, s) + (b);

// G(b,c,d) = (b & d) | (c & ~d): the two terms never share a bit, so they
// are added separately and (c & ~d) is ready before b is.
#define PKX_MD5_G(a, b, c, d, i, k, s)    \
    a += LoadLe32(block + 4 * (i)) + (k); \
    a += (c) & ~(d);                      \
    a += (b) & (d);                       \
    a = RotateLeft(a, s) + (b);

#define PKX_MD5_H(a, b, c, d, i, k, s)    \
    a += LoadLe32(block + 4 * (i)) + (k); \
    a += (b) ^ (c) ^ (d);                 \
    a = RotateLeft(a, s) + (b);

// I(b,c,d) = c ^ (b | ~d): ~d is ready before b is.
#define PKX_MD5_I(a, b, c, d, i, k, s)    \
    a += LoadLe32(block + 4 * (i)) + (k); \
    a += (c) ^ ((b) | ~(d));              \
    a = RotateLeft(a, s) + (b);

// Transforms `blocks` consecutive 64-byte blocks straight from `data`.
void Transform(uint32_t state[4], const uint8_t* data, size_t blocks) {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (; blocks > 0; --blocks, data += 64) {
        const uint8_t* const block = data;
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        PKX_MD5_F(a, b, c, d, 0, 0xd76aa478, 7)
        PKX_MD5_F(d, a, b, c, 1, 0xe8c7b756, 12)
        PKX_MD5_F(c, d, a, b, 2, 0x242070db, 17)
        PKX_MD5_F(b, c, d, a, 3, 0xc1bdceee, 22)
        PKX_MD5_F(a, b, c, d, 4, 0xf57c0faf, 7)
        PKX_MD5_F(d, a, b, c, 5, 0x4787c62a, 12)
        PKX_MD5_F(c, d, a, b, 6, 0xa8304613, 17)
        PKX_MD5_F(b, c, d, a, 7, 0xfd469501, 22)
        PKX_MD5_F(a, b, c, d, 8, 0x698098d8, 7)
        PKX_MD5_F(d, a, b, c, 9, 0x8b44f7af, 12)
        PKX_MD5_F(c, d, a, b, 10, 0xffff5bb1, 17)
        PKX_MD5_F(b, c, d, a, 11, 0x895cd7be, 22)
        PKX_MD5_F(a, b, c, d, 12, 0x6b901122, 7)
        PKX_MD5_F(d, a, b, c, 13, 0xfd987193, 12)
        PKX_MD5_F(c, d, a, b, 14, 0xa679438e, 17)
        PKX_MD5_F(b, c, d, a, 15, 0x49b40821, 22)

        PKX_MD5_G(a, b, c, d, 1, 0xf61e2562, 5)
        PKX_MD5_G(d, a, b, c, 6, 0xc040b340, 9)
        PKX_MD5_G(c, d, a, b, 11, 0x265e5a51, 14)
        PKX_MD5_G(b, c, d, a, 0, 0xe9b6c7aa, 20)
        PKX_MD5_G(a, b, c, d, 5, 0xd62f105d, 5)
        PKX_MD5_G(d, a, b, c, 10, 0x02441453, 9)
        PKX_MD5_G(c, d, a, b, 15, 0xd8a1e681, 14)
        PKX_MD5_G(b, c, d, a, 4, 0xe7d3fbc8, 20)
        PKX_MD5_G(a, b, c, d, 9, 0x21e1cde6, 5)
        PKX_MD5_G(d, a, b, c, 14, 0xc33707d6, 9)
        PKX_MD5_G(c, d, a, b, 3, 0xf4d50d87, 14)
        PKX_MD5_G(b, c, d, a, 8, 0x455a14ed, 20)
        PKX_MD5_G(a, b, c, d, 13, 0xa9e3e905, 5)
        PKX_MD5_G(d, a, b, c, 2, 0xfcefa3f8, 9)
        PKX_MD5_G(c, d, a, b, 7, 0x676f02d9, 14)
        PKX_MD5_G(b, c, d, a, 12, 0x8d2a4c8a, 20)

        PKX_MD5_H(a, b, c, d, 5, 0xfffa3942, 4)
        PKX_MD5_H(d, a, b, c, 8, 0x8771f681, 11)
        PKX_MD5_H(c, d, a, b, 11, 0x6d9d6122, 16)
        PKX_MD5_H(b, c, d, a, 14, 0xfde5380c, 23)
        PKX_MD5_H(a, b, c, d, 1, 0xa4beea44, 4)
        PKX_MD5_H(d, a, b, c, 4, 0x4bdecfa9, 11)
        PKX_MD5_H(c, d, a, b, 7, 0xf6bb4b60, 16)
        PKX_MD5_H(b, c, d, a, 10, 0xbebfbc70, 23)
        PKX_MD5_H(a, b, c, d, 13, 0x289b7ec6, 4)
        PKX_MD5_H(d, a, b, c, 0, 0xeaa127fa, 11)
        PKX_MD5_H(c, d, a, b, 3, 0xd4ef3085, 16)
        PKX_MD5_H(b, c, d, a, 6, 0x04881d05, 23)
        PKX_MD5_H(a, b, c, d, 9, 0xd9d4d039, 4)
        PKX_MD5_H(d, a, b, c, 12, 0xe6db99e5, 11)
        PKX_MD5_H(c, d, a, b, 15, 0x1fa27cf8, 16)
        PKX_MD5_H(b, c, d, a, 2, 0xc4ac5665, 23)

        PKX_MD5_I(a, b, c, d, 0, 0xf4292244, 6)
        PKX_MD5_I(d, a, b, c, 7, 0x432aff97, 10)
        PKX_MD5_I(c, d, a, b, 14, 0xab9423a7, 15)
        PKX_MD5_I(b, c, d, a, 5, 0xfc93a039, 21)
        PKX_MD5_I(a, b, c, d, 12, 0x655b59c3, 6)
        PKX_MD5_I(d, a, b, c, 3, 0x8f0ccc92, 10)
        PKX_MD5_I(c, d, a, b, 10, 0xffeff47d, 15)
        PKX_MD5_I(b, c, d, a, 1, 0x85845dd1, 21)
        PKX_MD5_I(a, b, c, d, 8, 0x6fa87e4f, 6)
        PKX_MD5_I(d, a, b, c, 15, 0xfe2ce6e0, 10)
        PKX_MD5_I(c, d, a, b, 6, 0xa3014314, 15)
        PKX_MD5_I(b, c, d, a, 13, 0x4e0811a1, 21)
        PKX_MD5_I(a, b, c, d, 4, 0xf7537e82, 6)
        PKX_MD5_I(d, a, b, c, 11, 0xbd3af235, 10)
        PKX_MD5_I(c, d, a, b, 2, 0x2ad7d2bb, 15)
        PKX_MD5_I(b, c, d, a, 9, 0xeb86d391, 21)

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef PKX_MD5_F
#undef PKX_MD5_G
#undef PKX_MD5_H
#undef PKX_MD5_I

// Bytes waiting in the block buffer, from the low word of the bit count.
inline uint32_t BufferedBytes(const MD5_CTX* context) { return (context->count[0] >> 3) & 63; }

void AddToBitCount(MD5_CTX* context, uint32_t length) {
    const uint32_t bits = length << 3;
    context->count[0] += bits;
    if (context->count[0] < bits) ++context->count[1];
    context->count[1] += length >> 29;
}

}  // namespace

void MD5Init(MD5_CTX* context) {
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->count[0] = 0;
    context->count[1] = 0;
}

void MD5Update(MD5_CTX* context, const void* input, uint32_t length) {
    if (length == 0) return;
    const uint8_t* data = static_cast<const uint8_t*>(input);
    uint32_t buffered = BufferedBytes(context);
    AddToBitCount(context, length);

    if (buffered > 0) {
        const uint32_t room = 64 - buffered;
        if (length < room) {
            std::memcpy(context->buffer + buffered, data, length);
            return;
        }
        std::memcpy(context->buffer + buffered, data, room);
        Transform(context->state, context->buffer, 1);
        data += room;
        length -= room;
    }
    const uint32_t blocks = length / 64;
    Transform(context->state, data, blocks);
    data += size_t{blocks} * 64;
    length -= blocks * 64;
    if (length > 0) std::memcpy(context->buffer, data, length);
}

void MD5Final(uint8_t digest[16], MD5_CTX* context) {
    uint8_t lengthBytes[8];
    StoreLe32(lengthBytes, context->count[0]);
    StoreLe32(lengthBytes + 4, context->count[1]);

    // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the bit length.
    static const uint8_t kPadding[64] = {0x80};
    const uint32_t buffered = BufferedBytes(context);
    const uint32_t padLength = buffered < 56 ? 56 - buffered : 120 - buffered;
    MD5Update(context, kPadding, padLength);
    MD5Update(context, lengthBytes, 8);

    for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, context->state[i]);

    // Volatile stores: the wipe of a context about to die must not be elided.
    volatile uint8_t* bytes = reinterpret_cast<volatile uint8_t*>(context);
    for (size_t i = 0; i < sizeof(MD5_CTX); ++i) bytes[i] = 0;
}

}  // namespace pkx
