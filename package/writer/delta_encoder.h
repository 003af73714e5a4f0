// Encoding difference streams that are about as small as the format allows.
//
// The old file is indexed once (OldFileIndex); the new file is cut into
// chunks of 2 MiB that are parsed independently (ParseDelta), on as many
// threads as the caller allows; the pieces become the stream's instructions.
// The result does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/writer/delta_parser.h"

namespace pkx::packwriter {

using Bytes = std::vector<uint8_t>;  // as in package_writer.h

// The block size the encoder fits to a stream is the longest piece of the
// stream, but no more than this: an updater that reads a whole block at once
// needs no larger buffer, and a longer piece costs only one more instruction.
inline constexpr uint32_t kLargestFittedBlockSize = uint32_t{1} << 20;

struct DeltaEncoderOptions {
    // 0: fitted to the stream. Otherwise every piece longer than a block is
    // split into blocks and a rest.
    uint32_t blockSize = 0;
    // Threads the encoding of this one file may use.
    unsigned threads = 1;
    // Every how many bytes the old file is indexed; 0: by its size (1 up to
    // 4 MiB, 2 up to 64 MiB). Larger steps index faster, look up more and
    // miss more short matches.
    uint32_t indexStep = 0;
};

// A stream that rebuilds `newData` from `oldData`.
Bytes EncodeDeltaStream(const Bytes& oldData, const Bytes& newData,
                        const DeltaEncoderOptions& options = DeltaEncoderOptions());

// About the memory EncodeDeltaStream takes besides its inputs.
uint64_t DeltaEncoderMemory(uint64_t oldSize, uint64_t newSize);

// The pieces of `newData`, parsed in chunks of 2 MiB on up to `threads`
// threads, each chunk's in order; the same whatever the number of threads.
std::vector<std::vector<DeltaPiece>> ParseChunks(const OldFileIndex& index, const Bytes& newData,
                                                 unsigned threads);

}  // namespace pkx::packwriter
