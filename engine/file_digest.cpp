#include "engine/file_digest.h"

#include <memory>
#include <new>

#include "core/cancellation.h"

namespace pkx {

namespace {

constexpr uint32_t kChunkSize = 512;
constexpr uint32_t kReadAhead = 64 * 1024;

}  // namespace

ResultCode DigestFileBytes(BinaryFile& file, uint32_t count, MD5_CTX* md5, ApplyContext& context,
                           ResultCode readFailure) {
    if (CancelRequested(context)) return result::kCancelled;
    // Without memory for the read-ahead, chunk by chunk as before.
    uint8_t chunkBuffer[kChunkSize];
    const std::unique_ptr<uint8_t[]> readAhead(new (std::nothrow) uint8_t[kReadAhead]);
    uint8_t* const buffer = readAhead ? readAhead.get() : chunkBuffer;
    const uint32_t capacity = readAhead ? kReadAhead : kChunkSize;
    uint32_t remaining = count;
    uint32_t at = 0;
    uint32_t buffered = 0;
    for (;;) {
        if (buffered == 0) {
            buffered = remaining < capacity ? remaining : capacity;
            at = 0;
            if (file.Read(buffer, buffered) != 0) return readFailure;
        }
        const uint32_t chunk = remaining < kChunkSize ? remaining : kChunkSize;
        MD5Update(md5, buffer + at, chunk);
        at += chunk;
        buffered -= chunk;
        remaining -= chunk;
        if (remaining == 0) return result::kSuccess;
        if (CancelRequested(context)) return result::kCancelled;
    }
}

}  // namespace pkx
