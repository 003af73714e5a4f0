#include "package/delta_reader.h"

namespace pkx {

ResultCode ReadDeltaHeader(PackageCursor& in, DeltaHeader* header) {
    uint32_t magic = 0;
    if (!in.ReadU32(&magic)) return result::kReadProgramFile;
    if (magic != kDeltaMagic) return result::kBadDifferenceData;
    if (!in.ReadU16(&header->version)) return result::kReadProgramFile;
    if (header->version > kDeltaVersion) return result::kUnknownDifferenceVersion;
    return in.ReadU32(&header->blockSize) ? result::kSuccess : result::kReadProgramFile;
}

ResultCode ReadDeltaInstruction(PackageCursor& in, DeltaInstruction* instruction) {
    *instruction = DeltaInstruction();
    if (!in.ReadU8(&instruction->opcode)) return result::kReadProgramFile;
    const uint8_t opcode = instruction->opcode;
    if (IsCopy(opcode) && !in.ReadU32(&instruction->offset)) return result::kReadProgramFile;
    const bool counted = opcode == OP_COPY_BLOCKS || opcode == OP_COPY_BYTES ||
                         opcode == OP_LITERAL_BLOCKS || opcode == OP_LITERAL_BYTES;
    if (counted && !in.ReadU32(&instruction->count)) return result::kReadProgramFile;
    return result::kSuccess;
}

uint64_t DeltaLength(const DeltaInstruction& instruction, uint32_t blockSize) {
    switch (instruction.opcode) {
        case OP_COPY_BLOCK:
        case OP_LITERAL_BLOCK:
            return blockSize;
        case OP_COPY_BLOCKS:
        case OP_LITERAL_BLOCKS:
            return uint64_t{blockSize} * instruction.count;
        case OP_COPY_BYTES:
        case OP_LITERAL_BYTES:
            return instruction.count;
        default:
            return 0;
    }
}

}  // namespace pkx
