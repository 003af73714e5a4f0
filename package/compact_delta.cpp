#include "package/compact_delta.h"

namespace pkx {

ResultCode CompactInstructionReader::ReadByte(uint8_t* byte) {
    if (size_ == 0) {
        const ResultCode code = stream_.Next(kStreamPieceSize, &data_, &size_);
        if (code != result::kSuccess) return code;
    }
    *byte = *data_++;
    --size_;
    return result::kSuccess;
}

ResultCode CompactInstructionReader::ReadVarint(uint32_t* value) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < kMaxVarintSize; ++i) {
        uint8_t byte = 0;
        const ResultCode code = ReadByte(&byte);
        if (code != result::kSuccess) return code;
        sum |= uint64_t{byte & 0x7Fu} << (7 * i);
        if ((byte & 0x80) == 0) {
            if (sum > UINT32_MAX) return result::kBadDifferenceData;
            *value = static_cast<uint32_t>(sum);
            return result::kSuccess;
        }
    }
    return result::kBadDifferenceData;
}

ResultCode CompactInstructionReader::Next(CompactInstruction* instruction) {
    uint8_t opcode = 0;
    ResultCode code = ReadByte(&opcode);
    if (code != result::kSuccess) return code;
    *instruction = CompactInstruction();
    if (opcode == OPC_END) return result::kSuccess;
    if (opcode > OPC_LITERAL) return result::kBadDifferenceData;
    instruction->opcode = static_cast<CompactOpcode>(opcode);
    code = ReadVarint(&instruction->length);
    if (code != result::kSuccess) return code;
    if (instruction->length == 0) return result::kBadDifferenceData;
    if (opcode == OPC_LITERAL) return result::kSuccess;

    uint32_t delta = 0;
    code = ReadVarint(&delta);
    if (code != result::kSuccess) return code;
    const int64_t source = static_cast<int64_t>(previousEnd_) + UnZigZag(delta);
    if (source < 0 || static_cast<uint64_t>(source) + instruction->length > kOldFileLimit) {
        return result::kBadDifferenceData;
    }
    instruction->source = static_cast<uint32_t>(source);
    previousEnd_ = static_cast<uint64_t>(source) + instruction->length;
    return result::kSuccess;
}

}  // namespace pkx
