// Backup names, and clearing the backups of a run.
#pragma once

#include "core/apply_context.h"

namespace pkx {

// The backup path of the installed file `fullPath` for a package whose old
// version label is `label`: beside the file, "<name>.<label>.old" with the
// characters that may not stand in a name replaced by "_". Writes at most
// 260 bytes; false when the result would not fit.
bool BuildBackupPath(const char* fullPath, const char* label, char* backupPath);

// Removes the backups of a successful run. Best effort.
void DeleteBackups(ApplyContext& context);

}  // namespace pkx
