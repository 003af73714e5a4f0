// Hashing a stretch of an open file for the integrity and old-version checks.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "support/binary_file.h"
#include "support/md5.h"

namespace pkx {

// Feeds the next `count` bytes of `file` to `md5` in chunks of 512 bytes.
// Cancel is polled before the first chunk and after every chunk but the last.
// The file is read ahead in large requests, so a read failure can come a
// few chunks early; it gives `readFailure`.
ResultCode DigestFileBytes(BinaryFile& file, uint32_t count, MD5_CTX* md5, ApplyContext& context,
                           ResultCode readFailure);

}  // namespace pkx
