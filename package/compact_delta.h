// The compact difference instructions of compressed packages (format
// version 200): an opcode byte, then varint operands (docs/format.md).
//
// A copy names its old-file source relative to the end of the record's
// previous copy, zigzag-coded, so that copies that go on or jump a little
// take one or two bytes. The reader and the package writer share the
// instruction type and the coding rules below.
#pragma once

#include <cstdint>

#include "core/result_code.h"
#include "package/compressed_stream.h"
#include "package/format.h"

namespace pkx {

struct CompactInstruction {
    CompactOpcode opcode = OPC_END;
    uint32_t length = 0;  // bytes appended; 0 for OPC_END
    uint32_t source = 0;  // copies: where the old bytes start
};

// Zigzag: small differences of either sign become small unsigned numbers.
inline uint32_t ZigZag(int64_t delta) {
    return static_cast<uint32_t>(delta >= 0 ? 2 * delta : -2 * delta - 1);
}
inline int64_t UnZigZag(uint32_t value) {
    return (value & 1) != 0 ? -(int64_t{value} >> 1) - 1 : int64_t{value} >> 1;
}

// Reads the instructions of the instruction stream, record after record.
class CompactInstructionReader {
  public:
    explicit CompactInstructionReader(CompressedStreamReader& stream) : stream_(stream) {}

    // A new record: copies are relative to the old file's start again.
    void StartRecord() { previousEnd_ = 0; }
    // The stream was rewound: nothing of it is buffered.
    void Rewind() { size_ = 0; }

    // The next instruction. An unknown opcode, an overlong varint, a length
    // of 0 or a copy reaching 2 GiB is kBadDifferenceData.
    ResultCode Next(CompactInstruction* instruction);

  private:
    ResultCode ReadByte(uint8_t* byte);
    ResultCode ReadVarint(uint32_t* value);

    CompressedStreamReader& stream_;
    const uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
    uint64_t previousEnd_ = 0;
};

}  // namespace pkx
