// Writing difference streams: instruction by instruction, or encoded from an
// old and a new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/format.h"

namespace pkx::packwriter {

using Bytes = std::vector<uint8_t>;  // as in package_writer.h

// Appends a header and instructions as given, without judging them: tests and
// fuzz seeds build hostile streams with the raw methods.
class DeltaStreamWriter {
  public:
    // Writes the header: magic, version and block size.
    explicit DeltaStreamWriter(uint32_t blockSize, uint16_t version = kDeltaVersion,
                               uint32_t magic = kDeltaMagic);

    DeltaStreamWriter& End();
    DeltaStreamWriter& CopyBlock(uint32_t offset);
    DeltaStreamWriter& CopyBlocks(uint32_t offset, uint32_t count);
    DeltaStreamWriter& CopyBytes(uint32_t offset, uint32_t length);
    // `data` holds one block.
    DeltaStreamWriter& LiteralBlock(const uint8_t* data);
    // `data` holds `count` blocks.
    DeltaStreamWriter& LiteralBlocks(const uint8_t* data, uint32_t count);
    DeltaStreamWriter& LiteralBytes(const uint8_t* data, uint32_t length);

    // Any opcode byte (undefined ones included) and any bytes or fields.
    DeltaStreamWriter& Opcode(uint8_t opcode);
    DeltaStreamWriter& RawU16(uint16_t value);
    DeltaStreamWriter& RawU32(uint32_t value);
    DeltaStreamWriter& Raw(const void* data, size_t size);

    uint32_t blockSize() const { return blockSize_; }
    const Bytes& bytes() const { return bytes_; }
    Bytes Take() { return std::move(bytes_); }

  private:
    uint32_t blockSize_;
    Bytes bytes_;
};

// Block size for a file of `newSize` bytes: about 1/256 of the file, as a power
// of two from 512 bytes to 64 KiB. Each block the updater moves costs one read
// and one write call, so large files get 64 KiB blocks; small files get smaller
// ones, so that an edit turns only a small piece into literal data.
uint32_t DefaultDeltaBlockSize(size_t newSize);

// A stream that rebuilds `newData` from `oldData`. Blocks of the old file at
// multiples of `blockSize` are indexed by a rolling checksum; a window slides
// over the new file and every candidate is confirmed byte by byte. Runs of
// consecutive old blocks become one OP_COPY_BLOCKS, a matching tail becomes
// OP_COPY_BYTES, everything else literal data. Expected linear time.
// `blockSize` must not be 0; old-file offsets of 2 GiB and more are not used.
Bytes EncodeDelta(const Bytes& oldData, const Bytes& newData, uint32_t blockSize);

}  // namespace pkx::packwriter
