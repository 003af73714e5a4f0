// The update, add and delete records that follow the package header.
#pragma once

#include <vector>

#include "core/apply_context.h"
#include "package/package_header.h"

namespace pkx {

struct FileEntryLists {
    std::vector<FileEntry> updates;
    std::vector<FileEntry> adds;
    std::vector<FileEntry> deletes;
};

// Reads `counts` records from the cursor into `lists`, testing
// `cancelRequested` before each record. Counts that the rest of the package
// cannot hold are refused before anything is read. Returns 0, kCancelled or
// kReadProgramFile.
ResultCode ReadFileEntries(PackageCursor& in, const RecordCounts& counts, ApplyContext& context,
                           FileEntryLists* lists);

}  // namespace pkx
