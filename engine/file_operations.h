// Updating, adding and deleting one file, each leaving a backup for the rollback.
#pragma once

#include "core/apply_context.h"
#include "support/binary_file.h"

namespace pkx {

ResultCode UpdateEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                       ApplyContext& context);
ResultCode AddEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                    ApplyContext& context);
ResultCode DeleteEntry(const FileEntry& entry, PackageRef& package, ApplyContext& context);

}  // namespace pkx
