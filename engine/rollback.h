// The rollback of a run that failed, was cancelled or found its program
// running: every change it made, undone from its journal.
#pragma once

#include "core/apply_context.h"
#include "engine/recovery.h"

namespace pkx {

// Undoes every change of the run from its journal, last first, and tells
// `observer` (when given) of each file that could not be restored. True when
// the installation is as it was before the run.
bool RestoreBackups(ApplyContext& context, UndoObserver* observer = nullptr);

}  // namespace pkx
