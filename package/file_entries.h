// The update, add and delete records that follow the package header.
#pragma once

#include <vector>

#include "core/apply_context.h"
#include "package/compressed_stream.h"
#include "package/package_header.h"

namespace pkx {

struct FileEntryLists {
    std::vector<FileEntry> updates;
    std::vector<FileEntry> adds;
    std::vector<FileEntry> deletes;
};

enum class RecordKind { kUpdate, kAdd, kDelete };

// True when the rest of the package can hold `counts` records of their least
// sizes; with `newCheckValues` updates and adds carry a new check value.
bool RecordsFit(const PackageCursor& in, const RecordCounts& counts, bool newCheckValues);

// One record: name, check values, and for updates and adds the write time,
// data offset and data size. Returns 0 or kReadProgramFile.
ResultCode ReadRecord(PackageCursor& in, RecordKind kind, bool newCheckValues, FileEntry* entry);

// Reads `counts` records from the cursor into `lists`, testing
// `cancelRequested` before each record. Counts that the rest of the package
// cannot hold are refused before anything is read. Returns 0, kCancelled or
// kReadProgramFile.
ResultCode ReadFileEntries(PackageCursor& in, const RecordCounts& counts, bool newCheckValues,
                           ApplyContext& context, FileEntryLists* lists);

// The records of a compressed package (version 200): reads the data block's
// header at `block` (a cursor whose end is the package's digest) into
// `header`, then the records from the record stream with the bounds of
// ReadFileEntries. Every fault of the block or the records (a record stream
// that ends early or holds more) is kBadDifferenceData; a failed read of the
// program file is kReadProgramFile.
ResultCode ReadBlockEntries(PackageSource& source, PackageCursor& block, const RecordCounts& counts,
                            bool newCheckValues, ApplyContext& context, DataBlock* header,
                            FileEntryLists* lists);

}  // namespace pkx
