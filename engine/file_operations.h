// Updating, adding and deleting one file, each leaving a backup for the rollback.
#pragma once

#include <vector>

#include "core/apply_context.h"
#include "package/data_block_reader.h"
#include "package/file_entries.h"
#include "support/binary_file.h"

namespace pkx {

// The changes the operations are expected to make for `lists`, as far as
// the names tell before they start, up to the first record foreseen to fail:
// the journal records them ahead, with one flush for all. Moves to the
// program's folder, where the operations after it run.
void ForeseeChanges(FileEntryLists& lists, const PackageRef& package, ApplyContext& context,
                    std::vector<Change>* changes);

// `block`: a compressed package's data, read record after record (null for
// a classic package). A record that is not applied is read all the same.
ResultCode UpdateEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                       ApplyContext& context, DataBlockReader* block = nullptr);
ResultCode AddEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                    ApplyContext& context, DataBlockReader* block = nullptr);
ResultCode DeleteEntry(const FileEntry& entry, PackageRef& package, ApplyContext& context);

}  // namespace pkx
