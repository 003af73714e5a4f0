// Finding the installation folder from the package's list of folder sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/apply_context.h"
#include "engine/special_folders.h"
#include "package/package_header.h"

namespace pkx {

// The texts a composite lookup works on; slot 0 is its result.
struct LookupSlots {
    char text[kLookupSlotCount][kPathBufferSize] = {};
};

// Evaluates the folder-source list in order, entry by entry as the list
// reads them, until a source finds the folder; the remaining entries are
// still read, except after a confirmed prompt, which ends the list. On 0,
// `targetFolder` is non-empty and ends with a backslash. Returns 0,
// kCancelled (the last source evaluated was a cancelled prompt),
// kReadProgramFile or kNoTargetFolder.
ResultCode ResolveTargetFolder(FolderSourceList& sources, ApplyContext& context,
                               const SpecialFolders& folders);
// The same with the run's table of special folders.
ResultCode ResolveTargetFolder(FolderSourceList& sources, ApplyContext& context);

// Runs the steps of a composite lookup and copies slot 0 into `targetFolder`,
// also after a failed step. Returns 0 or kNoTargetFolder (a step failed, or
// slot 0 holds no usable folder).
ResultCode ResolveComposite(const std::vector<LookupRecord>& records, ApplyContext& context,
                            const SpecialFolders& folders);

// Copies `templ` into `out` with "%d" replaced by slot d, "%c" by c alone and a
// final "%" dropped. False, with `out` empty, when the result and its
// terminator do not fit `size` bytes.
bool ExpandSlots(const char* templ, const LookupSlots& slots, char* out, size_t size);

// True when the last character of `text` is a backslash; the trail byte of a
// double-byte character of `codePage` is not one.
bool EndsWithBackslash(const char* text, uint32_t codePage);

}  // namespace pkx
