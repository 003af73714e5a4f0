// Backup names, and undoing or clearing what a run touched.
#pragma once

#include "core/apply_context.h"
#include "engine/recovery.h"

namespace pkx {

// The backup path of the installed file `fullPath` for a package whose old
// version label is `label`: beside the file, "<name>.<label>.old" with the
// characters that may not stand in a name replaced by "_". Writes at most
// 260 bytes; false when the result would not fit.
bool BuildBackupPath(const char* fullPath, const char* label, char* backupPath);

// A record's full path: `folder` immediately followed by `name`. Writes at
// most 260 bytes; false when the result would not fit.
bool BuildFullPath(const char* folder, const char* name, char* path);

// The drive and folder of `path`, with its separator. Writes at most 260
// bytes; false, and an empty `parent`, when they would not fit.
bool ParentFolder(const char* path, char* parent);

// False for a record name that leads out of the target folder (a ".."
// step, spelt with any trailing dots or spaces) or that names the journal.
bool IsRecordNameAllowed(const char* name);

// Undoes every change of the run from its journal, last first, and tells
// `observer` (when given) of each file that could not be restored. True when
// the installation is as it was before the run.
bool RestoreBackups(ApplyContext& context, UndoObserver* observer = nullptr);

// Removes the backups of a successful run. Best effort.
void DeleteBackups(ApplyContext& context);

}  // namespace pkx
