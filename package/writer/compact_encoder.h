// Encoding updated files for compressed packages (format version 200): the
// compact instructions with approximate copies, and the bytes they take
// from the difference and literal streams (docs/format.md).
//
// The exact copies come from the classic encoder's parser (ParseDelta over
// an OldFileIndex). Between two exact copies the encoder then extends each
// across small mismatches, as long as the extension pays: the first copy
// forwards at its own alignment, the second backwards at its own, each as far
// as the bytes that agree outweigh those that differ (a difference of zero
// compresses to almost nothing, a differing byte costs about as much as a
// literal). What neither extension covers stays literal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/compact_delta.h"
#include "package/writer/delta_encoder.h"

namespace pkx::packwriter {

// The uncompressed contents of a data block's streams, for one record or,
// appended record after record, for a whole package; `records` holds the
// package's records (as a version 150 package lists them).
struct CompactStreams {
    Bytes instructions;
    Bytes differences;
    Bytes literals;
    Bytes records;

    // Appends `record`'s streams (the next record of the package).
    void Append(const CompactStreams& record);
};

// Writes compact instructions and the bytes they take. A copy that goes on
// where the previous one ended joins it.
class CompactDeltaWriter {
  public:
    // `oldData` and `newData` must outlive the writer; pieces are appended in
    // new-file order.
    CompactDeltaWriter(const uint8_t* oldData, const uint8_t* newData, CompactStreams* streams)
        : old_(oldData), new_(newData), streams_(streams) {}

    // `length` bytes from old `source`: exact, or (at the new position `at`)
    // with the byte-wise differences. A short exact copy inside an
    // approximate one becomes part of it (its differences are zeros).
    void Copy(uint32_t source, uint32_t length);
    void CopyAdd(uint32_t source, uint32_t at, uint32_t length);
    void Literal(uint32_t at, uint32_t length);
    // Flushes the pending piece and writes OPC_END.
    void End();

  private:
    // Exact copies shorter than this join an approximate one around them:
    // a run of zero differences costs less than two more instructions.
    static constexpr uint32_t kAbsorbedCopy = 1024;

    bool GoesOn(uint32_t source, uint32_t length) const;
    void Flush();
    void Varint(uint32_t value);

    const uint8_t* old_;
    const uint8_t* new_;
    CompactStreams* streams_;
    CompactInstruction pending_;
    uint64_t previousEnd_ = 0;
};

// Appends to `streams` the instructions (ending with OPC_END) and bytes that
// rebuild `newData` from `oldData`. The new file must be below 4 GiB; copies
// read only old offsets below 2 GiB.
void EncodeCompactDelta(const Bytes& oldData, const Bytes& newData, CompactStreams* streams,
                        const DeltaEncoderOptions& options = DeltaEncoderOptions());

}  // namespace pkx::packwriter
