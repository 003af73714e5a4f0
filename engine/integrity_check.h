// The package's trailing MD5 digest over all its other bytes.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "support/binary_file.h"

namespace pkx {

// `file` is positioned at the package's first byte; `size` includes the
// 16-byte digest. Returns 0 (file back at the package start), 1, 0x10002 or 0x10010.
ResultCode CheckPackageIntegrity(BinaryFile& file, uint32_t size, ApplyContext& context);

}  // namespace pkx
