// Rebuilding an updated file from its difference stream.
//
// A difference stream is a 10-byte header (magic "PKS ", u16 version, u32
// block size) followed by instructions, each an opcode byte and u32 operands,
// that append pieces of the old file or literal data from the stream to the
// new file (package/format.h).
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "core/result_code.h"
#include "package/data_block_reader.h"
#include "package/format.h"
#include "support/binary_file.h"
#include "support/md5.h"

namespace pkx {

// Reads the stream of `entry` (at `package.offset` + `entry.dataOffset` of
// `programFile`) and writes the new file from start to end, reading pieces of
// `oldFile`. Polls `context.cancelRequested` and sends EV_FILE_PROGRESS to
// `context.events` (when set). Both files stay open; the caller closes them.
// `written`, when given, digests every byte written to the new file.
// Returns 0, 1 (cancelled), kReadProgramFile, kReadOldFile, kWriteNewFile,
// kBadDifferenceData or kUnknownDifferenceVersion.
ResultCode ApplyDeltaStream(BinaryFile& programFile, const PackageRef& package,
                            const FileEntry& entry, BinaryFile& oldFile, BinaryFile& newFile,
                            ApplyContext& context, MD5_CTX* written = nullptr);

// Rebuilds an update of a compressed package (format version 200) from the
// next record's pieces in `block`, writing and paging as ApplyDeltaStream
// does; progress is the new bytes written over `entry.dataSize` (the new
// file's length), and Cancel is polled between pieces of at most
// kStreamPieceSize bytes. Returns 0, 1 (cancelled), kReadProgramFile,
// kReadOldFile, kWriteNewFile or kBadDifferenceData.
ResultCode ApplyCompactUpdate(DataBlockReader& block, const FileEntry& entry, BinaryFile& oldFile,
                              BinaryFile& newFile, ApplyContext& context,
                              MD5_CTX* written = nullptr);

}  // namespace pkx
