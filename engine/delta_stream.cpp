#include "engine/delta_stream.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/cancellation.h"
#include "package/delta_reader.h"

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
// An old file of this many pages at most is read whole, in one call, before
// the first instruction: many small files cost one read each.
constexpr uint32_t kWholeFilePages = 16;
constexpr uint32_t kOutputBufferSize = 1024 * 1024;
constexpr uint32_t kNoProgress = 0xFFFFFFFFu;

// trunc(position / dataSize * 1000), held to 0..1000: a stream that runs past
// its stated size (or states size 0) shows a full bar, not an out-of-range value.
uint32_t ProgressValue(uint64_t position, uint32_t dataSize) {
    if (position >= dataSize) return 1000;
    return static_cast<uint32_t>(static_cast<double>(position) / dataSize * 1000.0);
}

// The new file, written when the buffer is full and at the end, and digested
// as it is written when asked.
class OutputBuffer {
  public:
    OutputBuffer(BinaryFile& file, uint8_t* buffer, MD5_CTX* digest)
        : file_(file), buffer_(buffer), digest_(digest) {}

    uint8_t* Space() { return buffer_ + used_; }
    uint32_t Free() const { return kOutputBufferSize - used_; }
    void Added(uint32_t count) { used_ += count; }

    ResultCode MakeSpace() { return Free() > 0 ? result::kSuccess : Flush(); }

    ResultCode Flush() {
        const uint32_t count = used_;
        used_ = 0;
        if (digest_ != nullptr) MD5Update(digest_, buffer_, count);
        if (count == 0 || file_.Write(buffer_, count) == 0) return result::kSuccess;
        return result::kWriteNewFile;
    }

  private:
    BinaryFile& file_;
    uint8_t* buffer_;
    MD5_CTX* digest_;
    uint32_t used_ = 0;
};

// Runs the instructions the reader hands out: the applier pages the old file,
// reads the stream ahead for the reader's cursor and writes the new file. A
// compressed package's pieces come decoded from its data block instead.
class DeltaApplier final : public PackageSource {
  public:
    DeltaApplier(BinaryFile* programFile, BinaryFile& oldFile, BinaryFile& newFile,
                 uint32_t dataSize, ApplyContext& context, MD5_CTX* written)
        : program_(programFile),
          old_(oldFile),
          dataSize_(dataSize),
          context_(context),
          buffers_(new (std::nothrow) uint8_t[kStreamBufferSize + kOutputBufferSize]),
          output_(newFile, buffers_.get() + kStreamBufferSize, written) {}

    ResultCode Run(uint64_t streamStart) {
        if (!buffers_) return result::kBadDifferenceData;
        uint32_t programSize = 0;
        ResultCode result = OpenStream(streamStart, &programSize);
        if (result != result::kSuccess) return result;
        // The stream's fields may run to the end of the program file.
        PackageCursor in(*this, streamStart, programSize);
        in_ = &in;
        result = ReadHeader();
        if (result != result::kSuccess) return result;
        result = RunInstructions();
        // What was made before a failure or a cancel is written all the same.
        const ResultCode flushed = output_.Flush();
        if (result == result::kSuccess) result = flushed;
        SendProgress();
        return result;
    }

    ResultCode RunCompact(DataBlockReader& block) {
        if (!buffers_) return result::kBadDifferenceData;
        oldSize_ = old_.Size();
        if (oldSize_ == kBadPosition) return result::kReadOldFile;
        ResultCode result = AllocatePages();
        if (result == result::kSuccess) result = RunPieces(block);
        const ResultCode flushed = output_.Flush();
        if (result == result::kSuccess) result = flushed;
        SendProgress();
        return result;
    }

  private:
    // --- The stream, read ahead: the source of the reader's cursor.

    ResultCode OpenStream(uint64_t streamStart, uint32_t* programSize) {
        if (streamStart > kLargestOffset ||
            program_->Seek(static_cast<int32_t>(streamStart), kFileBegin) != streamStart) {
            return result::kReadProgramFile;
        }
        *programSize = program_->Size();
        if (*programSize == kBadPosition) return result::kReadProgramFile;
        programLeft_ = *programSize > streamStart ? *programSize - streamStart : 0;
        streamLeft_ = dataSize_;
        return result::kSuccess;
    }

    ResultCode ReadHeader() {
        DeltaHeader header;
        const ResultCode result = ReadDeltaHeader(*in_, &header);
        if (result != result::kSuccess) return result;
        blockSize_ = header.blockSize;
        oldSize_ = old_.Size();
        if (oldSize_ == kBadPosition) return result::kReadOldFile;
        return AllocatePages();
    }

    // The stream is read in order from where OpenStream put it.
    bool MoveTo(uint64_t) override { return true; }
    bool Skip(uint64_t) override { return false; }

    // A field is made available whole; literal data passes through the
    // buffer in pieces. Every byte read counts as progress.
    bool Read(void* buffer, uint32_t count) override {
        const uint32_t fill = literal_ ? 1 : count;
        uint8_t* into = static_cast<uint8_t*>(buffer);
        for (uint32_t left = count; left > 0;) {
            if (!Fill(fill)) return false;
            const uint32_t moved = Smallest(left, Buffered(), left);
            std::memcpy(into, buffers_.get() + next_, moved);
            next_ += moved;
            into += moved;
            left -= moved;
        }
        position_ += count;
        return true;
    }

    // A slot for every page of the old file, or as many as there is memory
    // for; at least one.
    ResultCode AllocatePages() {
        const uint32_t pages = (oldSize_ >> kPageBits) + ((oldSize_ & (kPageSize - 1)) != 0);
        for (slots_ = pages < kMostPages ? pages : kMostPages; slots_ > 0; slots_ /= 2) {
            pages_.reset(new (std::nothrow) uint8_t[size_t{slots_} << kPageBits]);
            pageOfSlot_.reset(new (std::nothrow) uint32_t[slots_]());
            if (!pages_ || !pageOfSlot_) continue;
            return slots_ == pages && pages <= kWholeFilePages ? ReadWhole(pages)
                                                               : result::kSuccess;
        }
        return pages == 0 ? result::kSuccess : result::kBadDifferenceData;
    }

    // A slot for each page: each page goes to its own.
    ResultCode ReadWhole(uint32_t pages) {
        const ResultCode result = ReadOld(0, pages_.get(), oldSize_);
        for (uint32_t page = 0; result == result::kSuccess && page < pages; ++page) {
            pageOfSlot_[page] = page + 1;
        }
        return result;
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
        if (wanted < missing || program_->Read(stream + end_, static_cast<uint32_t>(wanted)) != 0) {
            return false;
        }
        end_ += static_cast<uint32_t>(wanted);
        programLeft_ -= wanted;
        streamLeft_ = streamLeft_ > wanted ? streamLeft_ - wanted : 0;
        return true;
    }

    uint32_t Buffered() const { return end_ - next_; }

    // --- The instructions.

    ResultCode RunInstructions() {
        for (;;) {
            if (CancelRequested(context_)) return result::kCancelled;
            DeltaInstruction instruction;
            const ResultCode read = ReadDeltaInstruction(*in_, &instruction);
            if (read != result::kSuccess) return read;
            if (instruction.opcode == OP_END) return result::kSuccess;
            if (ExceedsBlock(instruction, blockSize_)) return result::kBadDifferenceData;
            const ResultCode result = Execute(instruction);
            if (result != result::kSuccess) return result;
        }
    }

    ResultCode Execute(const DeltaInstruction& instruction) {
        switch (instruction.opcode) {
            case OP_COPY_BLOCK:
                return CopyPiece(instruction.offset, blockSize_);
            case OP_COPY_BLOCKS:
                return CopyBlocks(instruction.offset, instruction.count);
            case OP_COPY_BYTES:
                return CopyPiece(instruction.offset, instruction.count);
            case OP_LITERAL_BLOCK:
                return LiteralPiece(blockSize_);
            case OP_LITERAL_BLOCKS:
                return LiteralBlocks(instruction.count);
            case OP_LITERAL_BYTES:
                return LiteralPiece(instruction.count);
            default:
                return result::kSuccess;  // undefined opcodes are skipped
        }
    }

    ResultCode CopyPiece(uint32_t offset, uint32_t length) {
        const ResultCode result = CopyFromOld(offset, length);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // The blocks follow one another in the old file; progress once, even
    // when a block fails.
    ResultCode CopyBlocks(uint32_t offset, uint32_t count) {
        if (offset > kLargestOffset) return result::kReadOldFile;
        ResultCode result = result::kSuccess;
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

    ResultCode LiteralPiece(uint32_t length) {
        const ResultCode result = CopyLiteral(length);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // Progress per block; a cancel or failure ends the run without more.
    ResultCode LiteralBlocks(uint32_t count) {
        for (uint32_t i = 0; i < BlockCount(count); ++i) {
            if (CancelRequested(context_)) return result::kCancelled;
            const ResultCode blockResult = CopyLiteral(blockSize_);
            if (blockResult != result::kSuccess) return blockResult;
            SendProgress();
        }
        return result::kSuccess;
    }

    // Blocks of zero bytes append nothing; skipping them keeps a count of
    // four billion from spinning through empty transfers and events.
    uint32_t BlockCount(uint32_t count) const { return blockSize_ == 0 ? 0 : count; }

    // --- The pieces of a compressed package's update.

    ResultCode RunPieces(DataBlockReader& block) {
        block.StartUpdate(dataSize_);
        for (;;) {
            if (CancelRequested(context_)) return result::kCancelled;
            CompactInstruction piece;
            ResultCode result = block.NextPiece(&piece);
            if (result != result::kSuccess || piece.opcode == OPC_END) return result;
            result = CompactPiece(
                piece, piece.opcode == OPC_LITERAL ? block.literals() : block.differences());
            if (result != result::kSuccess) return result;
        }
    }

    // In parts of at most a stream piece, each put whole into the output: old
    // bytes, with an approximate copy's differences added, or literal bytes.
    ResultCode CompactPiece(const CompactInstruction& piece, CompressedStreamReader& stream) {
        const bool literal = piece.opcode == OPC_LITERAL;
        if (!literal && uint64_t{piece.source} + piece.length > oldSize_) {
            return result::kReadOldFile;
        }
        uint64_t from = piece.source;
        for (uint32_t left = piece.length; left > 0;) {
            const uint32_t part = Smallest(left, kStreamPieceSize, left);
            ResultCode result = output_.Free() < part ? output_.Flush() : result::kSuccess;
            uint8_t* into = output_.Space();
            if (result == result::kSuccess && !literal) result = CopyFromOld(from, part);
            for (uint32_t taken = piece.opcode == OPC_COPY ? 0 : part; taken > 0;) {
                const uint8_t* data = nullptr;
                uint32_t size = 0;
                if (result == result::kSuccess) result = stream.Next(taken, &data, &size);
                if (result != result::kSuccess) return result;
                if (literal) {
                    std::memcpy(into, data, size);
                    output_.Added(size);
                } else {
                    AddBytes(into, data, size);
                }
                into += size;
                taken -= size;
            }
            if (result != result::kSuccess) return result;
            from += part;
            left -= part;
            position_ += part;
            SendProgress();
            if (left > 0 && CancelRequested(context_)) return result::kCancelled;
        }
        return result::kSuccess;
    }

    static void AddBytes(uint8_t* into, const uint8_t* data, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) into[i] = static_cast<uint8_t>(into[i] + data[i]);
    }

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
        // A file under 4 GiB has fewer than 2^32 pages: no 64-bit division.
        const uint32_t slot = static_cast<uint32_t>(page) % slots_;
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
    // cannot hold fails before any of it is written. Progress counts the
    // data once all of it is copied.
    ResultCode CopyLiteral(uint32_t count) {
        if (!in_->Fits(count)) return result::kReadProgramFile;
        const uint64_t before = position_;
        while (count > 0) {
            ResultCode result = output_.MakeSpace();
            const uint32_t moved = Smallest(count, output_.Free(), count);
            literal_ = true;
            if (result == result::kSuccess && !in_->Read(output_.Space(), moved)) {
                result = result::kReadProgramFile;
            }
            literal_ = false;
            if (result != result::kSuccess) {
                position_ = before;
                return result;
            }
            output_.Added(moved);
            count -= moved;
        }
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
        // (value + 1) * dataSize / 1000 exactly, in 32-bit divisions.
        recheckAt_ =
            uint64_t{value + 1} * (dataSize_ / 1000) + (value + 1) * (dataSize_ % 1000) / 1000;
        recheckAt_ = recheckAt_ > 0 ? recheckAt_ - 1 : 0;
        if (value == shownProgress_) return;
        shownProgress_ = value;
        context_.events->Send(EV_FILE_PROGRESS, value);
    }

    static constexpr uint64_t kNowhere = ~uint64_t{0};

    BinaryFile* program_;  // null for a compressed package's update
    BinaryFile& old_;
    const uint32_t dataSize_;
    ApplyContext& context_;
    // The stream's read-ahead and the output, in one.
    const std::unique_ptr<uint8_t[]> buffers_;
    OutputBuffer output_;

    PackageCursor* in_ = nullptr;
    bool literal_ = false;  // the cursor reads literal data, not a field
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

    // Stream bytes consumed, for progress only: old-file copies do not move
    // it. For a compressed package's update, the new bytes written.
    uint64_t position_ = 0;
    uint32_t shownProgress_ = kNoProgress;
    uint64_t recheckAt_ = 0;
};

}  // namespace

ResultCode ApplyDeltaStream(BinaryFile& programFile, const PackageRef& package,
                            const FileEntry& entry, BinaryFile& oldFile, BinaryFile& newFile,
                            ApplyContext& context, MD5_CTX* written) {
    // Summed in 64 bits: a start that wraps past 4 GiB is no place in the file.
    const uint64_t streamStart = uint64_t{package.offset} + entry.dataOffset;
    DeltaApplier applier(&programFile, oldFile, newFile, entry.dataSize, context, written);
    return applier.Run(streamStart);
}

ResultCode ApplyCompactUpdate(DataBlockReader& block, const FileEntry& entry, BinaryFile& oldFile,
                              BinaryFile& newFile, ApplyContext& context, MD5_CTX* written) {
    DeltaApplier applier(nullptr, oldFile, newFile, entry.dataSize, context, written);
    return applier.RunCompact(block);
}

}  // namespace pkx
