#include "package/writer/delta_writer.h"

#include <cstdint>

namespace pkx::packwriter {

DeltaStreamWriter::DeltaStreamWriter(uint32_t blockSize, uint16_t version, uint32_t magic)
    : blockSize_(blockSize) {
    RawU32(magic);
    RawU16(version);
    RawU32(blockSize);
}

DeltaStreamWriter& DeltaStreamWriter::End() { return Opcode(OP_END); }

DeltaStreamWriter& DeltaStreamWriter::CopyBlock(uint32_t offset) {
    return Opcode(OP_COPY_BLOCK).RawU32(offset);
}

DeltaStreamWriter& DeltaStreamWriter::CopyBlocks(uint32_t offset, uint32_t count) {
    return Opcode(OP_COPY_BLOCKS).RawU32(offset).RawU32(count);
}

DeltaStreamWriter& DeltaStreamWriter::CopyBytes(uint32_t offset, uint32_t length) {
    return Opcode(OP_COPY_BYTES).RawU32(offset).RawU32(length);
}

DeltaStreamWriter& DeltaStreamWriter::LiteralBlock(const uint8_t* data) {
    return Opcode(OP_LITERAL_BLOCK).Raw(data, blockSize_);
}

DeltaStreamWriter& DeltaStreamWriter::LiteralBlocks(const uint8_t* data, uint32_t count) {
    return Opcode(OP_LITERAL_BLOCKS).RawU32(count).Raw(data, size_t{count} * blockSize_);
}

DeltaStreamWriter& DeltaStreamWriter::LiteralBytes(const uint8_t* data, uint32_t length) {
    return Opcode(OP_LITERAL_BYTES).RawU32(length).Raw(data, length);
}

DeltaStreamWriter& DeltaStreamWriter::Opcode(uint8_t opcode) {
    bytes_.push_back(opcode);
    return *this;
}

DeltaStreamWriter& DeltaStreamWriter::RawU16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return Raw(bytes, sizeof bytes);
}

DeltaStreamWriter& DeltaStreamWriter::RawU32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return Raw(bytes, sizeof bytes);
}

DeltaStreamWriter& DeltaStreamWriter::Raw(const void* data, size_t size) {
    const uint8_t* begin = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), begin, begin + size);
    return *this;
}

}  // namespace pkx::packwriter
