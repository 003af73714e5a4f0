// Lead-byte tests of the double-byte code pages, as IsDBCSLeadByteEx answers them.
#pragma once

#include <cstdint>

namespace pkx {

// True when `byte` starts a double-byte character in `codePage`
// (932, 936, 949, 950); single-byte code pages have no lead bytes.
bool IsLeadByte(uint32_t codePage, uint8_t byte);

}  // namespace pkx
