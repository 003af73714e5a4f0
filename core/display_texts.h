// The 74 display texts, IDs 1000 to 1073, each a 260-byte buffer.
#pragma once

#include <cstdint>

namespace pkx {

inline constexpr uint32_t kFirstTextId = 1000;
inline constexpr uint32_t kTextCount = 74;
inline constexpr uint32_t kTextBufferSize = 260;

struct DisplayTexts {
    char slots[kTextCount][kTextBufferSize] = {};

    // The buffer of text `id` (1000 to 1073).
    char* operator[](uint32_t id) { return slots[id - kFirstTextId]; }
    const char* operator[](uint32_t id) const { return slots[id - kFirstTextId]; }
};

}  // namespace pkx
