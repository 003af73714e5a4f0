// Reading the data block of a compressed package (format version 200): its
// header, and each of its four streams decoded in bounded pieces.
//
// The data block lies between the header's record counts and the package's
// digest: a magic, four stream descriptors and the streams' bytes
// (docs/format.md).
// A stream is stored as it is, LZMA-compressed, or zero-run coded
// (package/zero_runs.cpp) and then LZMA-compressed; an LZMA stream is decoded
// through a window of min(dictionary, uncompressed size) bytes, and the
// windows of a block together stay within kMaxWindowTotal, so a hostile
// header cannot make the updater allocate more. Every fault of the data is
// kBadDifferenceData; a failed read of the program file is kReadProgramFile.
#pragma once

#include <cstdint>
#include <memory>

#include "core/result_code.h"
#include "package/format.h"
#include "package/package_cursor.h"

namespace pkx {

struct StreamDescriptor {
    uint8_t method = kStreamStored;
    uint8_t properties = 0;
    uint32_t dictionary = 0;
    uint32_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    // Where the stream's bytes start, from the start of the program file.
    uint64_t offset = 0;
};

struct DataBlock {
    StreamDescriptor streams[kDataStreamCount];
};

// The window an LZMA stream is decoded through; 0 for a stored stream.
uint64_t StreamWindowSize(const StreamDescriptor& stream);

// False when `records`, the record stream, decodes to more than the updater
// holds in memory for a package of its size.
bool RecordStreamBounded(const StreamDescriptor& records);

// Reads the data block's header at the cursor's position, checks it (the
// methods, the LZMA properties, the memory bound, and that the streams fill
// the cursor's remaining bytes but for the padding) and fills `block`. The cursor ends
// behind the header.
ResultCode ReadDataBlock(PackageCursor& cursor, DataBlock* block);

// The most bytes one call of CompressedStreamReader::Next yields: small
// enough that a caller polling Cancel between calls answers it in time.
inline constexpr uint32_t kStreamPieceSize = 64 * 1024;

// One stream of a data block, decoded in order. Not copyable; the source
// must outlive it. Other readers may move the source between calls: every
// read of the program file seeks first.
class CompressedStreamReader {
  public:
    CompressedStreamReader();
    ~CompressedStreamReader();
    CompressedStreamReader(const CompressedStreamReader&) = delete;
    CompressedStreamReader& operator=(const CompressedStreamReader&) = delete;

    // Allocates the window (or a buffer, when stored) for `stream` of `source`.
    // The descriptor must have passed ReadDataBlock. `whole`: an LZMA stream
    // gets a buffer of its whole uncompressed size where memory allows, so
    // that once decoded to its end it is read again without decoding.
    ResultCode Open(PackageSource& source, const StreamDescriptor& stream, bool whole = false);
    // Back to the stream's first byte: a stream held whole and decoded to
    // its end is then read from memory, any other is decoded again.
    void Rewind();

    // The next 1 to min(`wanted`, kStreamPieceSize) bytes of the stream, in
    // `*data` (valid until the next call) and `*size`. Asking past the end
    // of the stream is kBadDifferenceData.
    ResultCode Next(uint32_t wanted, const uint8_t** data, uint32_t* size);
    // Exactly `count` bytes into `buffer`.
    ResultCode Read(uint8_t* buffer, uint32_t count);

    // Bytes of the stream not yet yielded.
    uint64_t Remaining() const { return remaining_; }

  private:
    struct Decoder;

    ResultCode NextStored(uint32_t wanted, const uint8_t** data, uint32_t* size);
    // `left`: bytes the LZMA data decodes to that were not yet yielded.
    ResultCode NextDecoded(uint32_t wanted, uint64_t left, const uint8_t** data, uint32_t* size);
    // A zero-run coded stream (package/zero_runs.cpp): one run per call.
    ResultCode OpenZeroRuns(uint64_t size);
    ResultCode NextExpanded(uint32_t wanted, const uint8_t** data, uint32_t* size);
    ResultCode TakeCoded();
    ResultCode Refill();

    PackageSource* source_ = nullptr;
    StreamDescriptor stream_;
    uint64_t remaining_ = 0;
    // The decoded stream is all in the window: Next reads it from there.
    bool replay_ = false;
    // How the last rewinding went (a zero-run coded stream reads its prefix).
    ResultCode rewound_ = result::kSuccess;
    // Compressed bytes not yet read, and where they start in the file.
    uint64_t inputOffset_ = 0;
    uint32_t inputLeft_ = 0;
    // Read input (or a stored stream's bytes): [inputPosition_, inputSize_).
    std::unique_ptr<uint8_t[]> input_;
    uint32_t inputPosition_ = 0;
    uint32_t inputSize_ = 0;
    std::unique_ptr<Decoder> decoder_;
    // Zero-run coded: the coded bytes not yet decoded, the decoded ones not
    // yet expanded, and the zeros of the current run not yet yielded.
    bool zeroRuns_ = false;
    uint64_t codedLeft_ = 0;
    const uint8_t* coded_ = nullptr;
    uint32_t codedSize_ = 0;
    uint32_t zeros_ = 0;
};

}  // namespace pkx
