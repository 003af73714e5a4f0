// The payload behind the program image: one package or a "LUMP" index.
#pragma once

#include "core/apply_context.h"
#include "package/format.h"
#include "support/binary_file.h"

namespace pkx {

// Reads the payload at kPayloadOffset and fills `context.packages`,
// `packageCount` and `multiPackage`. A single package is left with the file
// positioned at its magic. Returns 0, kReadProgramFile or kNotAPackage.
ResultCode ReadPackageIndex(BinaryFile& file, ApplyContext& context);

}  // namespace pkx
