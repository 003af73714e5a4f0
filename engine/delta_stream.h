// Rebuilding an updated file from its difference stream.
//
// A difference stream is a 10-byte header (magic "PKS ", u16 version, u32
// block size) followed by instructions, each an opcode byte and u32 operands,
// that append pieces of the old file or literal data from the stream to the
// new file. All fields are little-endian.
#pragma once

#include <cstdint>

#include "engine/apply_context.h"
#include "engine/result_code.h"
#include "support/binary_file.h"

namespace pkx {

inline constexpr uint32_t kDeltaMagic = 0x20534B50;  // "PKS "
// Streams of this version and older are read.
inline constexpr uint16_t kDeltaVersion = 100;
inline constexpr uint32_t kDeltaHeaderSize = 10;

enum DeltaOpcode : uint8_t {
    OP_END = 0,
    OP_COPY_BLOCK = 1,      // u32 offset
    OP_COPY_BLOCKS = 2,     // u32 offset, u32 count
    OP_COPY_BYTES = 3,      // u32 offset, u32 length (at most the block size)
    OP_LITERAL_BLOCK = 4,   // one block of data follows
    OP_LITERAL_BLOCKS = 5,  // u32 count, count blocks of data follow
    OP_LITERAL_BYTES = 6,   // u32 length (at most the block size), length bytes follow
    // 7 to 255 are skipped: the opcode byte alone is consumed.
};

// Reads the stream of `entry` (at `package.offset` + `entry.dataOffset` of
// `programFile`) and writes the new file from start to end, reading pieces of
// `oldFile`. Polls `context.cancelRequested` and sends EV_FILE_PROGRESS to
// `context.events` (when set). Both files stay open; the caller closes them.
// Returns 0, 1 (cancelled), kReadProgramFile, kReadOldFile, kWriteNewFile,
// kBadDifferenceData or kUnknownDifferenceVersion.
ResultCode ApplyDeltaStream(BinaryFile& programFile, const PackageRef& package,
                            const FileEntry& entry, BinaryFile& oldFile, BinaryFile& newFile,
                            ApplyContext& context);

}  // namespace pkx
