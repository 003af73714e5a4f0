// Bounds for lengths and counts taken from a package: nothing is allocated or
// skipped that the rest of the file could not hold.
#pragma once

#include <cstdint>

#include "core/result_code.h"
#include "support/binary_file.h"

namespace pkx {

// Bytes from the current position to the end of the file (0 when the position
// lies beyond the end). Returns 0 or kReadProgramFile.
ResultCode RemainingBytes(BinaryFile& file, uint32_t* remaining);

// Refuses with kReadProgramFile unless `bytes` fit into the rest of the file.
// Callers pass count × minimum size of an item, computed in 64 bits.
ResultCode CheckFitsInFile(BinaryFile& file, uint64_t bytes);

// Moves forward by `count` bytes, refusing a distance past the end of the file.
ResultCode SkipBytes(BinaryFile& file, uint32_t count);

}  // namespace pkx
