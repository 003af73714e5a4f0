// Choosing the instructions of a difference stream: which pieces of the new
// file to copy from the old file and which to carry as literal data.
//
// The choice minimises the stream's size, as the updater reads it: every copy
// costs 9 bytes (opcode, offset, length) whatever its length, and a literal
// run 5 bytes (opcode, length) plus its data. A dynamic programme over the
// new file's positions keeps, for each, the least cost of reaching it after a
// copy and inside a literal run; the matches come from an OldFileIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/writer/delta_index.h"

namespace pkx::packwriter {

inline constexpr uint32_t kCopyCost = 9;
inline constexpr uint32_t kLiteralRunCost = 5;

// `length` bytes of the new file: a copy of the old file from `source`, or
// literal data (the next `length` bytes of the new file).
struct DeltaPiece {
    uint32_t length = 0;
    uint32_t source = 0;
    bool copy = false;
};

// The pieces of newData[begin, end); `end` - `begin` must be below 4 GiB.
// Copies read only old offsets below 2 GiB (the index holds no more).
std::vector<DeltaPiece> ParseDelta(const OldFileIndex& index, const uint8_t* newData,
                                   size_t newSize, size_t begin, size_t end);

}  // namespace pkx::packwriter
