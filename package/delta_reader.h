// Reading a difference stream: its header, then one instruction at a time,
// through a package cursor. The reader decodes; what an instruction does to
// the files is the applier's. Literal data is left for the caller to take.
#pragma once

#include <cstdint>

#include "core/result_code.h"
#include "package/format.h"
#include "package/package_cursor.h"

namespace pkx {

struct DeltaHeader {
    uint16_t version = 0;
    uint32_t blockSize = 0;
};

// Magic, version and block size, in that order. Returns 0, kReadProgramFile
// (a field is not there), kBadDifferenceData (no magic) or
// kUnknownDifferenceVersion (`header->version` holds the version read).
ResultCode ReadDeltaHeader(PackageCursor& in, DeltaHeader* header);

struct DeltaInstruction {
    uint8_t opcode = OP_END;
    uint32_t offset = 0;  // in the old file, for the copies
    uint32_t count = 0;   // blocks (OP_*_BLOCKS) or bytes (OP_*_BYTES)
};

// The opcode and its operands, one field at a time: a failed field leaves the
// ones before it read. Returns 0 or kReadProgramFile.
ResultCode ReadDeltaInstruction(PackageCursor& in, DeltaInstruction* instruction);

inline bool IsLiteral(uint8_t opcode) {
    return opcode == OP_LITERAL_BLOCK || opcode == OP_LITERAL_BLOCKS || opcode == OP_LITERAL_BYTES;
}
inline bool IsCopy(uint8_t opcode) {
    return opcode == OP_COPY_BLOCK || opcode == OP_COPY_BLOCKS || opcode == OP_COPY_BYTES;
}

// The bytes the instruction appends to the new file, from the old file or
// from the stream; 0 for OP_END and undefined opcodes.
uint64_t DeltaLength(const DeltaInstruction& instruction, uint32_t blockSize);

// A piece counted in bytes may be at most one block long.
inline bool ExceedsBlock(const DeltaInstruction& instruction, uint32_t blockSize) {
    return (instruction.opcode == OP_COPY_BYTES || instruction.opcode == OP_LITERAL_BYTES) &&
           instruction.count > blockSize;
}

}  // namespace pkx
