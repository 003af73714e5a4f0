// The six well-known folders that folder sources of kinds 2 and 3 name by index.
#pragma once

#include <cstdint>

#include "core/apply_context.h"

namespace pkx {

inline constexpr uint32_t kSpecialFolderCount = 6;

// Windows, System, program files, root of the Windows drive, desktop, personal
// documents, in the order of a package's folder index. An entry the system
// could not tell stays empty; entries need not end with a backslash.
struct SpecialFolders {
    char paths[kSpecialFolderCount][kPathBufferSize] = {};
};

// Asks the platform for each folder.
void FillSpecialFolders(SpecialFolders& folders);

// Fills the table of the run, once, when the worker starts; `context` is the
// run the table belongs to (its dialog owns the shell's lookups on Windows).
void FillSpecialFolders(ApplyContext& context);

// The table of the run, read-only after FillSpecialFolders(ApplyContext&).
const SpecialFolders& RunSpecialFolders();

}  // namespace pkx
