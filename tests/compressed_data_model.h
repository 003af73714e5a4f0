// Compressed packages' data in memory, for the tests and the fuzzer: a
// source over bytes, and the updater's rules for rebuilding an updated file
// from a DataBlockReader with the old file in memory.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/data_block_reader.h"

namespace pkx::test {

using ByteVector = std::vector<uint8_t>;

class MemorySource final : public PackageSource {
  public:
    explicit MemorySource(const ByteVector& bytes) : bytes_(bytes) {}
    bool MoveTo(uint64_t offset) override {
        position_ = offset;
        return offset <= bytes_.size();
    }
    bool Read(void* buffer, uint32_t count) override {
        if (position_ > bytes_.size() || bytes_.size() - position_ < count) return false;
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return true;
    }
    bool Skip(uint64_t count) override { return MoveTo(position_ + count); }

  private:
    const ByteVector& bytes_;
    uint64_t position_ = 0;
};

// Appends `count` bytes of `stream` to `out`.
inline ResultCode TakeStream(CompressedStreamReader& stream, uint32_t count, ByteVector* out) {
    while (count > 0) {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        const ResultCode code = stream.Next(count, &data, &size);
        if (code != result::kSuccess) return code;
        out->insert(out->end(), data, data + size);
        count -= size;
    }
    return result::kSuccess;
}

// The next update record's new file (`newSize` bytes) from `old`.
inline ResultCode RebuildUpdate(DataBlockReader& reader, const ByteVector& old, uint32_t newSize,
                                ByteVector* out) {
    reader.StartUpdate(newSize);
    for (;;) {
        CompactInstruction piece;
        ResultCode code = reader.NextPiece(&piece);
        if (code != result::kSuccess || piece.opcode == OPC_END) return code;
        if (piece.opcode == OPC_LITERAL) {
            code = TakeStream(reader.literals(), piece.length, out);
            if (code != result::kSuccess) return code;
            continue;
        }
        if (uint64_t{piece.source} + piece.length > old.size()) return result::kReadOldFile;
        const size_t at = out->size();
        out->insert(out->end(), old.begin() + piece.source,
                    old.begin() + piece.source + piece.length);
        if (piece.opcode != OPC_COPY_ADD) continue;
        ByteVector differences;
        code = TakeStream(reader.differences(), piece.length, &differences);
        if (code != result::kSuccess) return code;
        for (size_t i = 0; i < differences.size(); ++i) (*out)[at + i] += differences[i];
    }
}

}  // namespace pkx::test
