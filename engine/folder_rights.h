// An installation that only an administrator may change, met by an updater
// that runs without an administrator's rights: the run stops before it
// changes anything, and says why, instead of failing at its first write.
#pragma once

#include "core/apply_context.h"
#include "core/result_code.h"

namespace pkx {

// Sends EV_FOLDER_NEEDS_ADMINISTRATOR with the target folder and returns
// kJournal, the failure the run would meet first there, when the program is
// not elevated and may not create files in the target folder; otherwise 0.
ResultCode CheckFolderRights(ApplyContext& context);

}  // namespace pkx
