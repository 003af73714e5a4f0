#include "package/data_block_reader.h"

#include <algorithm>

#include "core/cancellation.h"

namespace pkx {

ResultCode DataBlockReader::Open(PackageSource& source, const DataBlock& block) {
    uint64_t windows = 0;
    for (const StreamDescriptor& stream : block.streams) windows += StreamWindowSize(stream);
    // Held whole while the buffers stay within the limit, the literals (the
    // slowest to decode) first; the records are read before, not applied.
    for (uint32_t i = kDataStreamCount; i-- > 0;) {
        const StreamDescriptor& stream = block.streams[i];
        const uint64_t more =
            stream.method == kStreamLzma ? stream.uncompressedSize - StreamWindowSize(stream) : 0;
        const bool whole =
            i != kRecordStream && windows <= holdLimit_ && more <= holdLimit_ - windows;
        if (whole) windows += more;
        const ResultCode code = streams_[i].Open(source, stream, whole);
        if (code != result::kSuccess) return code;
    }
    return result::kSuccess;
}

void DataBlockReader::Rewind() {
    for (CompressedStreamReader& stream : streams_) stream.Rewind();
    instructions_.Rewind();
}

void DataBlockReader::StartUpdate(uint32_t newSize) {
    instructions_.StartRecord();
    pieceLeft_ = newSize;
}

ResultCode DataBlockReader::NextPiece(CompactInstruction* piece) {
    const ResultCode code = instructions_.Next(piece);
    if (code != result::kSuccess) return code;
    const bool fits = piece->opcode == OPC_END ? pieceLeft_ == 0 : piece->length <= pieceLeft_;
    if (!fits) return result::kBadDifferenceData;
    pieceLeft_ -= piece->length;
    return result::kSuccess;
}

ResultCode SkipStreamBytes(CompressedStreamReader& stream, uint64_t count, ApplyContext& context) {
    if (count > stream.Remaining()) return result::kBadDifferenceData;
    while (count > 0) {
        if (CancelRequested(context)) return result::kCancelled;
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        const ResultCode code = stream.Next(
            static_cast<uint32_t>(std::min<uint64_t>(count, kStreamPieceSize)), &data, &size);
        if (code != result::kSuccess) return code;
        count -= size;
    }
    return result::kSuccess;
}

ResultCode DataBlockReader::SkipUpdate(uint32_t newSize, ApplyContext& context) {
    StartUpdate(newSize);
    for (;;) {
        if (CancelRequested(context)) return result::kCancelled;
        CompactInstruction piece;
        ResultCode code = NextPiece(&piece);
        if (code != result::kSuccess || piece.opcode == OPC_END) return code;
        if (piece.opcode == OPC_COPY_ADD)
            code = SkipStreamBytes(differences(), piece.length, context);
        if (piece.opcode == OPC_LITERAL) code = SkipStreamBytes(literals(), piece.length, context);
        if (code != result::kSuccess) return code;
    }
}

ResultCode DataBlockReader::SkipAdd(uint32_t size, ApplyContext& context) {
    return SkipStreamBytes(literals(), size, context);
}

ResultCode DataBlockReader::Finish() const {
    for (const CompressedStreamReader& stream : streams_) {
        if (stream.Remaining() != 0) return result::kBadDifferenceData;
    }
    return result::kSuccess;
}

ResultCode CheckDataBlock(DataBlockReader& reader, PackageSource& source, PackageCursor& cursor,
                          const FileEntry* updates, uint32_t updateCount, const FileEntry* adds,
                          uint32_t addCount, ApplyContext& context) {
    DataBlock block;
    ResultCode code = ReadDataBlock(cursor, &block);
    if (code == result::kSuccess) code = reader.Open(source, block);
    if (code == result::kSuccess) {
        code = SkipStreamBytes(reader.records(), reader.records().Remaining(), context);
    }
    for (uint32_t i = 0; code == result::kSuccess && i < updateCount; ++i) {
        code = updates[i].dataOffset != 0 ? result::kBadDifferenceData
                                          : reader.SkipUpdate(updates[i].dataSize, context);
    }
    for (uint32_t i = 0; code == result::kSuccess && i < addCount; ++i) {
        code = adds[i].dataOffset != 0 ? result::kBadDifferenceData
                                       : reader.SkipAdd(adds[i].dataSize, context);
    }
    if (code == result::kSuccess) code = reader.Finish();
    if (code == result::kSuccess) reader.Rewind();
    return code;
}

}  // namespace pkx
