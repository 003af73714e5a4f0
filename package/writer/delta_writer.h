// Writing difference streams instruction by instruction (the encoder,
// delta_encoder.h, chooses the instructions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
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

}  // namespace pkx::packwriter
