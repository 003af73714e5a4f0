#include "package/writer/delta_writer.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>

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

uint32_t DefaultDeltaBlockSize(size_t newSize) {
    uint32_t blockSize = 512;
    while (blockSize < 65536 && blockSize < newSize / 256) blockSize *= 2;
    return blockSize;
}

namespace {

// The updater seeks the old file with a signed 32-bit distance.
constexpr uint64_t kLargestOldOffset = 0x7FFFFFFF;
// OP_COPY_BYTES takes 9 stream bytes, literal data 5 plus its length.
constexpr size_t kShortestCopiedTail = 5;
// Bounds the work per window position when many old blocks share a checksum.
constexpr int kMaxProbes = 64;
constexpr int64_t kNoMatch = -1;

// The rsync weak checksum: the sum and the position-weighted sum of the
// bytes, each modulo 2^16. Rolls forward one byte in constant time. The byte
// offset keeps runs of zeros from all summing to 0.
class RollingChecksum {
  public:
    void Reset(const uint8_t* data, uint32_t length) {
        length_ = length;
        sum_ = 0;
        weighted_ = 0;
        for (uint32_t i = 0; i < length; ++i) {
            sum_ += data[i] + kByteOffset;
            weighted_ += (length - i) * (data[i] + kByteOffset);
        }
    }

    void Roll(uint8_t out, uint8_t in) {
        sum_ += uint32_t{in} - out;
        weighted_ += sum_ - length_ * (out + kByteOffset);
    }

    uint32_t value() const { return (sum_ & 0xFFFF) | (weighted_ << 16); }

  private:
    static constexpr uint32_t kByteOffset = 31;
    uint32_t length_ = 0;
    uint32_t sum_ = 0;
    uint32_t weighted_ = 0;
};

// Old blocks at multiples of the block size, by weak checksum; chained hash
// table, earliest block first in each chain.
class BlockIndex {
  public:
    BlockIndex(const Bytes& oldData, uint32_t blockSize) : old_(oldData), blockSize_(blockSize) {
        const uint64_t usable = std::min<uint64_t>(oldData.size(), kLargestOldOffset + blockSize);
        const uint32_t blocks = static_cast<uint32_t>(usable / blockSize);
        while ((uint64_t{1} << bits_) < uint64_t{blocks} * 2) ++bits_;
        heads_.assign(size_t{1} << bits_, kEmpty);
        next_.resize(blocks);
        checksums_.resize(blocks);
        RollingChecksum checksum;
        for (uint32_t block = blocks; block-- > 0;) {
            checksum.Reset(&old_[size_t{block} * blockSize_], blockSize_);
            checksums_[block] = checksum.value();
            uint32_t& head = heads_[Bucket(checksums_[block])];
            next_[block] = head;
            head = block;
        }
    }

    // Offset of an old block equal to the block at `data`, or kNoMatch.
    int64_t Find(uint32_t checksum, const uint8_t* data) const {
        int probes = 0;
        for (uint32_t block = heads_[Bucket(checksum)]; block != kEmpty && probes < kMaxProbes;
             block = next_[block], ++probes) {
            const size_t offset = size_t{block} * blockSize_;
            if (checksums_[block] == checksum && memcmp(&old_[offset], data, blockSize_) == 0) {
                return static_cast<int64_t>(offset);
            }
        }
        return kNoMatch;
    }

  private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFF;

    uint32_t Bucket(uint32_t checksum) const {
        return bits_ == 0 ? 0 : (checksum * 0x9E3779B1u) >> (32 - bits_);
    }

    const Bytes& old_;
    const uint32_t blockSize_;
    int bits_ = 0;
    std::vector<uint32_t> heads_;
    std::vector<uint32_t> next_;
    std::vector<uint32_t> checksums_;
};

class DeltaEncoder {
  public:
    DeltaEncoder(const Bytes& oldData, const Bytes& newData, uint32_t blockSize)
        : old_(oldData),
          new_(newData),
          blockSize_(blockSize),
          index_(oldData, blockSize),
          writer_(blockSize) {}

    Bytes Encode() {
        size_t position = 0;      // start of the window in the new file
        size_t literalStart = 0;  // start of the new data not yet written
        RollingChecksum checksum;
        bool summed = false;
        while (blockSize_ <= new_.size() - position) {
            if (!summed) {
                checksum.Reset(&new_[position], blockSize_);
                summed = true;
            }
            const int64_t match = FindBlock(position, checksum.value());
            if (match != kNoMatch) {
                WriteLiteral(literalStart, position);
                AddToRun(static_cast<uint64_t>(match));
                position += blockSize_;
                literalStart = position;
                summed = false;
            } else {
                WriteRun();
                if (blockSize_ < new_.size() - position) {
                    checksum.Roll(new_[position], new_[position + blockSize_]);
                }
                ++position;
            }
        }
        WriteTail(literalStart, position);
        writer_.End();
        return writer_.Take();
    }

  private:
    // A run is open only right after a match, so literal data never sits
    // between a run and the block that would continue it.
    int64_t FindBlock(size_t position, uint32_t checksum) const {
        if (run_.count > 0 && Matches(RunEnd(), position, blockSize_)) {
            return static_cast<int64_t>(RunEnd());
        }
        return index_.Find(checksum, &new_[position]);
    }

    void AddToRun(uint64_t oldOffset) {
        if (run_.count > 0 && run_.count < UINT32_MAX && oldOffset == RunEnd()) {
            ++run_.count;
            return;
        }
        WriteRun();
        run_ = {oldOffset, 1};
    }

    uint64_t RunEnd() const { return run_.offset + uint64_t{run_.count} * blockSize_; }

    void WriteRun() {
        const uint32_t offset = static_cast<uint32_t>(run_.offset);
        if (run_.count == 1) writer_.CopyBlock(offset);
        if (run_.count > 1) writer_.CopyBlocks(offset, run_.count);
        run_.count = 0;
    }

    void WriteLiteral(size_t begin, size_t end) {
        const size_t blocks = (end - begin) / blockSize_;
        const uint32_t rest = static_cast<uint32_t>((end - begin) % blockSize_);
        if (blocks == 1) writer_.LiteralBlock(&new_[begin]);
        if (blocks > 1) writer_.LiteralBlocks(&new_[begin], static_cast<uint32_t>(blocks));
        if (rest > 0) writer_.LiteralBytes(&new_[end - rest], rest);
    }

    // The piece after the last whole window, shorter than a block: copied
    // when it continues the open run or equals the end of the old file.
    void WriteTail(size_t literalStart, size_t position) {
        const size_t length = new_.size() - position;
        const int64_t source = length >= kShortestCopiedTail ? FindTail(position) : kNoMatch;
        WriteRun();
        if (source == kNoMatch) {
            WriteLiteral(literalStart, new_.size());
            return;
        }
        WriteLiteral(literalStart, position);
        writer_.CopyBytes(static_cast<uint32_t>(source), static_cast<uint32_t>(length));
    }

    int64_t FindTail(size_t position) const {
        const size_t length = new_.size() - position;
        if (run_.count > 0 && Matches(RunEnd(), position, length)) {
            return static_cast<int64_t>(RunEnd());
        }
        if (old_.size() >= length && Matches(old_.size() - length, position, length)) {
            return static_cast<int64_t>(old_.size() - length);
        }
        return kNoMatch;
    }

    // True when old bytes at `oldOffset` equal `length` new bytes at
    // `position`, and the updater can seek there.
    bool Matches(uint64_t oldOffset, size_t position, size_t length) const {
        return oldOffset <= kLargestOldOffset && oldOffset + length <= old_.size() &&
               memcmp(&old_[oldOffset], &new_[position], length) == 0;
    }

    struct Run {
        uint64_t offset = 0;
        uint32_t count = 0;
    };

    const Bytes& old_;
    const Bytes& new_;
    const uint32_t blockSize_;
    const BlockIndex index_;
    DeltaStreamWriter writer_;
    Run run_;
};

}  // namespace

Bytes EncodeDelta(const Bytes& oldData, const Bytes& newData, uint32_t blockSize) {
    assert(blockSize > 0);
    return DeltaEncoder(oldData, newData, blockSize).Encode();
}

}  // namespace pkx::packwriter
