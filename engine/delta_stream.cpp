#include "engine/delta_stream.h"

#include <algorithm>
#include <memory>
#include <new>

#include "core/cancellation.h"

namespace pkx {
namespace {

// BinaryFile::Seek takes a signed 32-bit distance; files of 2 GiB and more are
// outside the format, so larger offsets fail instead of wrapping.
constexpr uint64_t kLargestOffset = 0x7FFFFFFF;

// trunc(position / dataSize * 1000), held to 0..1000: a stream that runs past
// its stated size (or states size 0) shows a full bar, not an out-of-range value.
uint32_t ProgressValue(uint64_t position, uint32_t dataSize) {
    if (position >= dataSize) return 1000;
    return static_cast<uint32_t>(static_cast<double>(position) / dataSize * 1000.0);
}

class DeltaApplier {
  public:
    DeltaApplier(BinaryFile& programFile, BinaryFile& oldFile, BinaryFile& newFile,
                 uint32_t dataSize, ApplyContext& context)
        : program_(programFile),
          old_(oldFile),
          new_(newFile),
          dataSize_(dataSize),
          context_(context) {}

    ResultCode Run(uint64_t streamStart) {
        ResultCode result = ReadHeader(streamStart);
        if (result == result::kSuccess) result = AllocateBuffer(streamStart);
        if (result != result::kSuccess) return result;
        result = RunInstructions();
        SendProgress();
        return result;
    }

  private:
    ResultCode ReadHeader(uint64_t streamStart) {
        if (streamStart > kLargestOffset ||
            program_.Seek(static_cast<int32_t>(streamStart), kFileBegin) != streamStart) {
            return result::kReadProgramFile;
        }
        uint32_t magic = 0;
        if (program_.ReadU32(&magic) != 0) return result::kReadProgramFile;
        if (magic != kDeltaMagic) return result::kBadDifferenceData;
        uint16_t version = 0;
        if (program_.ReadU16(&version) != 0) return result::kReadProgramFile;
        if (version > kDeltaVersion) return result::kUnknownDifferenceVersion;
        if (program_.ReadU32(&blockSize_) != 0) return result::kReadProgramFile;
        position_ = kDeltaHeaderSize;
        return result::kSuccess;
    }

    // No instruction can move more than a whole old file or the rest of the
    // program file through the buffer, so a hostile block size is cut to the
    // larger of the two; a transfer that would not fit is one that would come
    // up short, and fails with the result of that short read (CopyFromOld,
    // CopyLiteral).
    ResultCode AllocateBuffer(uint64_t streamStart) {
        const uint32_t programSize = program_.Size();
        if (programSize == kBadPosition) return result::kReadProgramFile;
        const uint32_t oldSize = old_.Size();
        if (oldSize == kBadPosition) return result::kReadOldFile;
        const uint64_t instructionsStart = streamStart + kDeltaHeaderSize;
        const uint64_t programLeft =
            programSize > instructionsStart ? programSize - instructionsStart : 0;
        capacity_ = static_cast<uint32_t>(
            std::min<uint64_t>(blockSize_, std::max<uint64_t>(oldSize, programLeft)));
        buffer_.reset(new (std::nothrow) uint8_t[capacity_]);
        return buffer_ ? result::kSuccess : result::kBadDifferenceData;
    }

    ResultCode RunInstructions() {
        for (;;) {
            if (CancelRequested(context_)) return result::kCancelled;
            uint8_t opcode = 0;
            if (program_.ReadU8(&opcode) != 0) return result::kReadProgramFile;
            position_ += 1;
            if (opcode == OP_END) return result::kSuccess;
            const ResultCode result = Execute(opcode);
            if (result != result::kSuccess) return result;
        }
    }

    ResultCode Execute(uint8_t opcode) {
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
        if (result == result::kSuccess) result = SeekOld(offset);
        if (result == result::kSuccess) result = CopyFromOld(blockSize_);
        if (result == result::kSuccess) SendProgress();
        return result;
    }

    // One seek, then the blocks in turn; progress once, even when a block fails.
    ResultCode CopyBlocks() {
        uint32_t offset = 0;
        uint32_t count = 0;
        ResultCode result = ReadOperand(&offset);
        if (result == result::kSuccess) result = ReadOperand(&count);
        if (result == result::kSuccess) result = SeekOld(offset);
        if (result != result::kSuccess) return result;
        for (uint32_t i = 0; i < BlockCount(count); ++i) {
            if (CancelRequested(context_)) {
                result = result::kCancelled;
                break;
            }
            result = CopyFromOld(blockSize_);
            if (result != result::kSuccess) break;
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
        if (result == result::kSuccess) result = SeekOld(offset);
        if (result == result::kSuccess) result = CopyFromOld(length);
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

    ResultCode ReadOperand(uint32_t* value) {
        if (program_.ReadU32(value) != 0) return result::kReadProgramFile;
        position_ += 4;
        return result::kSuccess;
    }

    ResultCode SeekOld(uint32_t offset) {
        if (offset > kLargestOffset ||
            old_.Seek(static_cast<int32_t>(offset), kFileBegin) != offset) {
            return result::kReadOldFile;
        }
        return result::kSuccess;
    }

    // Old file to new file through the buffer, at the old file's position.
    ResultCode CopyFromOld(uint32_t count) {
        if (count > capacity_ || old_.Read(buffer_.get(), count) != 0) {
            return result::kReadOldFile;
        }
        return WriteNew(count);
    }

    // Literal data of the stream to the new file.
    ResultCode CopyLiteral(uint32_t count) {
        if (count > capacity_ || program_.Read(buffer_.get(), count) != 0) {
            return result::kReadProgramFile;
        }
        position_ += count;
        return WriteNew(count);
    }

    ResultCode WriteNew(uint32_t count) {
        return new_.Write(buffer_.get(), count) == 0 ? result::kSuccess : result::kWriteNewFile;
    }

    void SendProgress() {
        if (context_.events != nullptr) {
            context_.events->Send(EV_FILE_PROGRESS, ProgressValue(position_, dataSize_));
        }
    }

    BinaryFile& program_;
    BinaryFile& old_;
    BinaryFile& new_;
    const uint32_t dataSize_;
    ApplyContext& context_;
    uint32_t blockSize_ = 0;
    uint32_t capacity_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    // Stream bytes consumed, for progress only: old-file copies do not move it.
    uint64_t position_ = 0;
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
