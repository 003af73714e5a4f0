// The MD5 message digest of RFC 1321: password, package and file identities.
#pragma once

#include <cstdint>

namespace pkx {

// Caller-owned context; holds no pointers, so zero bytes are a clean state.
struct MD5_CTX {
    uint32_t state[4];   // A, B, C, D
    uint32_t count[2];   // message length in bits, low word first
    uint8_t buffer[64];  // bytes not yet transformed
};

void MD5Init(MD5_CTX* context);
// Appends `length` bytes; a length of zero changes nothing.
void MD5Update(MD5_CTX* context, const void* input, uint32_t length);
// Writes the 16-byte digest (A, B, C, D, each least significant byte first)
// and overwrites the whole context with zero bytes.
void MD5Final(uint8_t digest[16], MD5_CTX* context);

}  // namespace pkx
