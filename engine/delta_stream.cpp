#include "engine/delta_stream.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/cancellation.h"

namespace pkx {
namespace {

// BinaryFile::Seek takes a signed 32-bit distance; files of 2 GiB and more are
// outside the format, so larger offsets fail instead of wrapping.
constexpr uint64_t kLargestOffset = 0x7FFFFFFF;

// The stream is read ahead, the old file is kept in pages of 4 KiB (up to
// 64 MiB of it: pieces scattered over a file that size read each page once,
// and a miss in a larger one reads little) while long pieces are read
// straight into the output, and the new file is written in large pieces: so
// platform calls follow the amount of data, not the number of instructions.
constexpr uint32_t kStreamBufferSize = 64 * 1024;
constexpr uint32_t kPageBits = 12;
constexpr uint32_t kPageSize = uint32_t{1} << kPageBits;
constexpr uint32_t kMostPages = 16384;
constexpr uint32_t kDirectRead = 16 * 1024;
constexpr uint32_t kOutputBufferSize = 1024 * 1024;
constexpr uint32_t kNoProgress = 0xFFFFFFFFu;

// trunc(position / dataSize * 1000), held to 0..1000: a stream that runs past
// its stated size (or states size 0) shows a full bar, not an out-of-range value.
uint32_t ProgressValue(uint64_t position, uint32_t dataSize) {
    if (position >= dataSize) return 1000;
    return static_cast<uint32_t>(static_cast<double>(position) / dataSize * 1000.0);
}

// The new file, written when the buffer is full and at the end.
class OutputBuffer {
  public:
    OutputBuffer(BinaryFile& file, uint8_t* buffer) : file_(file), buffer_(buffer) {}

    uint8_t* Space() { return buffer_ + used_; }
    uint32_t Free() const { return kOutputBufferSize - used_; }
    void Added(uint32_t count) { used_ += count; }

    ResultCode MakeSpace() { return Free() > 0 ? result::kSuccess : Flush(); }

    ResultCode Flush() {
        const uint32_t count = used_;
        used_ = 0;
        if (count == 0 || file_.Write(buffer_, count) == 0) return result::kSuccess;
        return result::kWriteNewFile;
    }

  private:
    BinaryFile& file_;
    uint8_t* buffer_;
    uint32_t used_ = 0;
};

class DeltaApplier {
  public:
    DeltaApplier(BinaryFile& programFile, BinaryFile& oldFile, BinaryFile& newFile,
                 uint32_t dataSize, ApplyContext& context)
        : program_(programFile),
          old_(oldFile),
          dataSize_(dataSize),
          context_(context),
          buffers_(new (std::nothrow) uint8_t[kStreamBufferSize + kOutputBufferSize]),
          output_(newFile, buffers_.get() + kStreamBufferSize) {}

    ResultCode Run(uint64_t streamStart) {
        if (!buffers_) return result::kBadDifferenceData;
        ResultCode result = ReadHeader(streamStart);
        if (result != result::kSuccess) return result;
        result = RunInstructions();
        // What was made before a failure or a cancel is written all the same.
        const ResultCode flushed = output_.Flush();
        if (result == result::kSuccess) result = flushed;
        SendProgress();
        return result;
    }

  private:
    // --- The stream, read ahead.

    ResultCode ReadHeader(uint64_t streamStart) {
        if (streamStart > kLargestOffset ||
            program_.Seek(static_cast<int32_t>(streamStart), kFileBegin) != streamStart) {
            return result::kReadProgramFile;
        }
        const uint32_t programSize = program_.Size();
        if (programSize == kBadPosition) return result::kReadProgramFile;
        programLeft_ = programSize > streamStart ? programSize - streamStart : 0;
        streamLeft_ = dataSize_;
        uint32_t magic = 0;
        uint16_t version = 0;
        if (!ReadU32(&magic)) return result::kReadProgramFile;
        if (magic != kDeltaMagic) return result::kBadDifferenceData;
        if (!ReadU16(&version)) return result::kReadProgramFile;
        if (version > kDeltaVersion) return result::kUnknownDifferenceVersion;
        if (!ReadU32(&blockSize_)) return result::kReadProgramFile;
        oldSize_ = old_.Size();
        if (oldSize_ == kBadPosition) return result::kReadOldFile;
        position_ = kDeltaHeaderSize;
        return AllocatePages();
    }

    // A slot for every page of the old file, or as many as there is memory
    // for; at least one.
    ResultCode AllocatePages() {
        const uint32_t pages = (oldSize_ >> kPageBits) + ((oldSize_ & (kPageSize - 1)) != 0);
        for (slots_ = pages < kMostPages ? pages : kMostPages; slots_ > 0; slots_ /= 2) {
            pages_.reset(new (std::nothrow) uint8_t[size_t{slots_} << kPageBits]);
            pageOfSlot_.reset(new (std::nothrow) uint32_t[slots_]());
            if (pages_ && pageOfSlot_) return result::kSuccess;
        }
        return pages == 0 ? result::kSuccess : result::kBadDifferenceData;
    }

    // Makes `count` (at most the buffer's size) unread stream bytes
    // available. A refill reads up to the stream's stated end, and past it
    // no more than is needed, never past the end of the file.
    bool Fill(uint32_t count) {
        if (count <= Buffered()) return true;
        uint8_t* const stream = buffers_.get();
        std::memmove(stream, stream + next_, Buffered());
        end_ = Buffered();
        next_ = 0;
        const uint32_t missing = count - end_;
        uint64_t wanted = streamLeft_ > missing ? streamLeft_ : missing;
        if (wanted > kStreamBufferSize - end_) wanted = kStreamBufferSize - end_;
        if (wanted > programLeft_) wanted = programLeft_;
        if (wanted < missing || program_.Read(stream + end_, static_cast<uint32_t>(wanted)) != 0) {
            return false;
        }
        end_ += static_cast<uint32_t>(wanted);
        programLeft_ -= wanted;
        streamLeft_ = streamLeft_ > wanted ? streamLeft_ - wanted : 0;
        return true;
    }

    uint32_t Buffered() const { return end_ - next_; }

    // Little-endian field of `size` bytes.
    bool ReadField(uint32_t size, uint32_t* value) {
        if (!Fill(size)) return false;
        const uint8_t* bytes = buffers_.get() + next_;
        *value = 0;
        for (uint32_t i = 0; i < size; ++i) *value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        next_ += size;
        return true;
    }
    bool ReadU32(uint32_t* value) { return ReadField(4, value); }
    bool ReadU16(uint16_t* value) {
        uint32_t wide = 0;
        if (!ReadField(2, &wide)) return false;
        *value = static_cast<uint16_t>(wide);
        return true;
    }

    ResultCode ReadOperand(uint32_t* value) {
        if (!ReadU32(value)) return result::kReadProgramFile;
        position_ += 4;
        return result::kSuccess;
    }

    // --- The instructions.

    ResultCode RunInstructions() {
        for (;;) {
            if (CancelRequested(context_)) return result::kCancelled;
            uint32_t opcode = 0;
            if (!ReadField(1, &opcode)) return result::kReadProgramFile;
            position_ += 1;
            if (opcode == OP_END) return result::kSuccess;
            const ResultCode result = Execute(opcode);
            if (result != result::kSuccess) return result;
        }
    }

    ResultCode Execute(uint32_t opcode) {
        switch (opcode) {
            case OP_COPY_BLOCK:
                return CopyBlock();
            case OP_COPY_BLOCKS:
                return CopyBlocks();
            case OP_COPY_BYTES:
                return CopyBytes();
            case OP_LITERAL_BLOCK:
                return LiteralBlock();
            case OP_LITERAL_BLOCKS:
                return LiteralBlocks();
            case OP_LITERAL_BYTES:
                return LiteralBytes();
            default:
                return result::kSuccess;  // undefined opcodes are skipped
        }
    }

    ResultCode CopyBlock() {
        uint32_t offset = 0;
        ResultCode result = ReadOperand(&offset);
        if (result == result::kSuccess) result = CopyFromOld(offset, blockSize_);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // The blocks follow one another in the old file; progress once, even
    // when a block fails.
    ResultCode CopyBlocks() {
        uint32_t offset = 0;
        uint32_t count = 0;
        ResultCode result = ReadOperand(&offset);
        if (result == result::kSuccess) result = ReadOperand(&count);
        if (result == result::kSuccess && offset > kLargestOffset) result = result::kReadOldFile;
        if (result != result::kSuccess) return result;
        uint64_t from = offset;
        for (uint32_t i = 0; i < BlockCount(count); ++i) {
            if (CancelRequested(context_)) {
                result = result::kCancelled;
                break;
            }
            result = CopyFromOld(from, blockSize_);
            if (result != result::kSuccess) break;
            from += blockSize_;
        }
        SendProgress();
        return result;
    }

    ResultCode CopyBytes() {
        uint32_t offset = 0;
        uint32_t length = 0;
        ResultCode result = ReadOperand(&offset);
        if (result == result::kSuccess) result = ReadOperand(&length);
        if (result == result::kSuccess && length > blockSize_) result = result::kBadDifferenceData;
        if (result == result::kSuccess) result = CopyFromOld(offset, length);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    ResultCode LiteralBlock() {
        const ResultCode result = CopyLiteral(blockSize_);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // Progress per block; a cancel or failure ends the run without more.
    ResultCode LiteralBlocks() {
        uint32_t count = 0;
        const ResultCode result = ReadOperand(&count);
        if (result != result::kSuccess) return result;
        for (uint32_t i = 0; i < BlockCount(count); ++i) {
            if (CancelRequested(context_)) return result::kCancelled;
            const ResultCode blockResult = CopyLiteral(blockSize_);
            if (blockResult != result::kSuccess) return blockResult;
            SendProgress();
        }
        return result::kSuccess;
    }

    ResultCode LiteralBytes() {
        uint32_t length = 0;
        ResultCode result = ReadOperand(&length);
        if (result == result::kSuccess && length > blockSize_) result = result::kBadDifferenceData;
        if (result == result::kSuccess) result = CopyLiteral(length);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // Blocks of zero bytes append nothing; skipping them keeps a count of
    // four billion from spinning through empty transfers and events.
    uint32_t BlockCount(uint32_t count) const { return blockSize_ == 0 ? 0 : count; }

    // --- Moving data.

    // A piece of the old file must lie wholly inside it: one that does not
    // fails before any of it is written. An empty piece may lie anywhere the
    // file can be sought.
    ResultCode CopyFromOld(uint64_t offset, uint32_t count) {
        if (offset > kLargestOffset) return result::kReadOldFile;
        if (count == 0) return result::kSuccess;
        if (offset + count > oldSize_) return result::kReadOldFile;
        while (count > 0) {
            ResultCode result = output_.MakeSpace();
            if (result != result::kSuccess) return result;
            uint32_t moved = 0;
            if (count >= kDirectRead) {
                // Long pieces go straight into the output, in large reads.
                if (output_.Free() < kDirectRead) result = output_.Flush();
                moved = Smallest(count, output_.Free(), count);
                if (result == result::kSuccess) result = ReadOld(offset, output_.Space(), moved);
            } else {
                const uint8_t* page = Page(offset >> kPageBits, &result);
                if (page != nullptr) {
                    const uint32_t within = static_cast<uint32_t>(offset & (kPageSize - 1));
                    moved = Smallest(count, kPageSize - within, output_.Free());
                    std::memcpy(output_.Space(), page + within, moved);
                }
            }
            if (result != result::kSuccess) return result;
            output_.Added(moved);
            offset += moved;
            count -= moved;
        }
        return result::kSuccess;
    }

    // Page `page` of the old file, read into its slot unless it is there.
    const uint8_t* Page(uint64_t page, ResultCode* result) {
        const uint32_t slot = static_cast<uint32_t>(page % slots_);
        uint8_t* data = pages_.get() + (size_t{slot} << kPageBits);
        if (pageOfSlot_[slot] == page + 1) return data;
        const uint64_t start = page << kPageBits;
        const uint32_t length = Smallest(kPageSize, oldSize_ - start, kPageSize);
        pageOfSlot_[slot] = 0;
        *result = ReadOld(start, data, length);
        if (*result != result::kSuccess) return nullptr;
        pageOfSlot_[slot] = static_cast<uint32_t>(page + 1);
        return data;
    }

    // Reads at `offset`, seeking only when the file is elsewhere.
    ResultCode ReadOld(uint64_t offset, uint8_t* into, uint32_t count) {
        if (offset != oldPosition_) {
            oldPosition_ = kNowhere;
            if (old_.Seek(static_cast<int32_t>(offset), kFileBegin) != offset) {
                return result::kReadOldFile;
            }
        }
        if (old_.Read(into, count) != 0) {
            oldPosition_ = kNowhere;
            return result::kReadOldFile;
        }
        oldPosition_ = offset + count;
        return result::kSuccess;
    }

    // Literal data of the stream to the new file; data the program file
    // cannot hold fails before any of it is written.
    ResultCode CopyLiteral(uint32_t count) {
        if (count > Buffered() + programLeft_) return result::kReadProgramFile;
        const uint32_t total = count;
        while (count > 0) {
            const ResultCode result = output_.MakeSpace();
            if (result != result::kSuccess) return result;
            if (Buffered() == 0 && !Fill(1)) return result::kReadProgramFile;
            const uint32_t moved = Smallest(count, Buffered(), output_.Free());
            std::memcpy(output_.Space(), buffers_.get() + next_, moved);
            next_ += moved;
            output_.Added(moved);
            count -= moved;
        }
        position_ += total;
        return result::kSuccess;
    }

    static uint32_t Smallest(uint64_t a, uint64_t b, uint64_t c) {
        const uint64_t ab = a < b ? a : b;
        return static_cast<uint32_t>(ab < c ? ab : c);
    }

    // The bar shows the same until the value changes: no event before then.
    // Before `recheckAt_` the value cannot have moved: it is computed again
    // only from a position short of where the next tenth of a percent begins.
    void SendProgress() {
        if (context_.events == nullptr || position_ < recheckAt_) return;
        const uint32_t value = ProgressValue(position_, dataSize_);
        recheckAt_ = (uint64_t{value} + 1) * dataSize_ / 1000;
        recheckAt_ = recheckAt_ > 0 ? recheckAt_ - 1 : 0;
        if (value == shownProgress_) return;
        shownProgress_ = value;
        context_.events->Send(EV_FILE_PROGRESS, value);
    }

    static constexpr uint64_t kNowhere = ~uint64_t{0};

    BinaryFile& program_;
    BinaryFile& old_;
    const uint32_t dataSize_;
    ApplyContext& context_;
    // The stream's read-ahead and the output, in one.
    const std::unique_ptr<uint8_t[]> buffers_;
    OutputBuffer output_;

    uint32_t blockSize_ = 0;
    // Unread bytes of the stream buffer are [next_, end_).
    uint32_t next_ = 0;
    uint32_t end_ = 0;
    // Bytes after the buffered ones: to the end of the program file, and to
    // the stream's stated end.
    uint64_t programLeft_ = 0;
    uint64_t streamLeft_ = 0;

    uint32_t oldSize_ = 0;
    uint64_t oldPosition_ = kNowhere;
    // Slot i holds page pageOfSlot_[i] - 1 of the old file (0: none).
    uint32_t slots_ = 0;
    std::unique_ptr<uint8_t[]> pages_;
    std::unique_ptr<uint32_t[]> pageOfSlot_;

    // Stream bytes consumed, for progress only: old-file copies do not move it.
    uint64_t position_ = 0;
    uint32_t shownProgress_ = kNoProgress;
    uint64_t recheckAt_ = 0;
};

}  // namespace

ResultCode ApplyDeltaStream(BinaryFile& programFile, const PackageRef& package,
                            const FileEntry& entry, BinaryFile& oldFile, BinaryFile& newFile,
                            ApplyContext& context) {
    // Summed in 64 bits: a start that wraps past 4 GiB is no place in the file.
    const uint64_t streamStart = uint64_t{package.offset} + entry.dataOffset;
    DeltaApplier applier(programFile, oldFile, newFile, entry.dataSize, context);
    return applier.Run(streamStart);
}

}  // namespace pkx
