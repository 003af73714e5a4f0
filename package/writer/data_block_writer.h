// Writing the data block of a compressed package (format version 200): the
// four streams, each compressed with LZMA (the LZMA SDK's encoder, from
// lzma-dev) or stored when that does not make it smaller, behind the block's
// header (docs/format.md).
#pragma once

#include <cstdint>

#include "package/compressed_stream.h"
#include "package/writer/compact_encoder.h"

namespace pkx::packwriter {

// The most window each stream may ask of the updater; together below
// kMaxWindowTotal.
struct DataBlockOptions {
    uint32_t instructionWindow = uint32_t{4} << 20;
    uint32_t differenceWindow = uint32_t{16} << 20;
    uint32_t literalWindow = uint32_t{32} << 20;
    uint32_t recordWindow = uint32_t{4} << 20;
};

// The data block of `streams`: to be placed right after the last record,
// the package's digest right after it. The streams are compressed each on
// its own thread (the encoder takes about ten times a stream's window).
Bytes BuildDataBlock(const CompactStreams& streams,
                     const DataBlockOptions& options = DataBlockOptions());

// One stream, LZMA-compressed with a window of at most `window` bytes, or
// stored; `descriptor` gets its method, properties and sizes. The
// `differences` (mostly runs of zeros) are zero-run coded first when that
// shrinks them, else compressed with no literal or position context.
Bytes CompressStream(const Bytes& data, uint32_t window, bool differences,
                     StreamDescriptor* descriptor);

}  // namespace pkx::packwriter
