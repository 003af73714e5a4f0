// Proving that the installed files are exactly the expected old version.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "package/file_entries.h"

namespace pkx {

// ComputeCheckValue's extra result: the file is missing and that was allowed.
inline constexpr ResultCode kCheckValueMissingAllowed = 3;

// MD5 form for check mode 0, {time low, time high, size, 0} otherwise.
ResultCode ComputeCheckValue(const char* path, CheckValue* value, uint8_t checkMode,
                             ApplyContext& context, bool missingAllowed);

// Runs before anything changes; may set `alreadyUpdated` in update and add records.
ResultCode VerifyOldVersion(FileEntryLists& lists, uint8_t checkMode, ApplyContext& context);

}  // namespace pkx
