// The records' data in a compressed package (format version 200), read in
// record order: each update's instructions with the differences and
// literals they take, each add's content (docs/format.md). The records
// themselves come from their own stream, read before.
//
// The same reader serves the check before anything is written (every record
// read as if skipped, and every stream used up exactly) and then, rewound,
// the application record by record: the streams it can hold whole within
// the windows' memory bound are decoded once, in the check. Cancel is
// polled between pieces of at most kStreamPieceSize bytes.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "core/result_code.h"
#include "package/compact_delta.h"
#include "package/compressed_stream.h"

namespace pkx {

class DataBlockReader {
  public:
    // `holdLimit`: the most bytes the streams' buffers may take together
    // when streams are held whole.
    explicit DataBlockReader(uint64_t holdLimit = kMaxWindowTotal)
        : instructions_(streams_[kInstructionStream]), holdLimit_(holdLimit) {}
    DataBlockReader(const DataBlockReader&) = delete;
    DataBlockReader& operator=(const DataBlockReader&) = delete;

    ResultCode Open(PackageSource& source, const DataBlock& block);
    // Every stream back to its start, for the application after the check.
    void Rewind();

    // An update whose new file is `newSize` bytes: then NextPiece until it
    // yields OPC_END.
    void StartUpdate(uint32_t newSize);
    // The update's next piece; OPC_END once the pieces reach the new size
    // exactly. Pieces that pass it, or an early end, are kBadDifferenceData.
    ResultCode NextPiece(CompactInstruction* piece);

    // The differences of an OPC_COPY_ADD and the bytes of an OPC_LITERAL or
    // of an added file come from these streams.
    CompressedStreamReader& differences() { return streams_[kDifferenceStream]; }
    CompressedStreamReader& literals() { return streams_[kLiteralStream]; }
    // The records, as a version 150 package lists them after its counts.
    CompressedStreamReader& records() { return streams_[kRecordStream]; }

    // Reads an update of `newSize` bytes, or an add of `size` bytes, and
    // drops its data. Returns kCancelled when Cancel is seen.
    ResultCode SkipUpdate(uint32_t newSize, ApplyContext& context);
    ResultCode SkipAdd(uint32_t size, ApplyContext& context);

    // After the last record: every stream must be used up.
    ResultCode Finish() const;

  private:
    CompressedStreamReader streams_[kDataStreamCount];
    CompactInstructionReader instructions_;
    uint64_t holdLimit_;
    uint32_t pieceLeft_ = 0;
};

// Drops `count` bytes of `stream`, polling Cancel between pieces.
ResultCode SkipStreamBytes(CompressedStreamReader& stream, uint64_t count, ApplyContext& context);

// The check before a compressed package is applied: reads the data block
// (at the cursor, whose end is the digest) and opens `reader` on it, passes
// over the records (read before into `updates` and `adds`) and reads every
// record's data as if it were skipped, the updates' before the adds'. On
// success `reader` is rewound, ready to apply the records.
ResultCode CheckDataBlock(DataBlockReader& reader, PackageSource& source, PackageCursor& cursor,
                          const FileEntry* updates, uint32_t updateCount, const FileEntry* adds,
                          uint32_t addCount, ApplyContext& context);

}  // namespace pkx
