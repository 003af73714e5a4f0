// The program's built-in string table for builds without Windows resources,
// generated from texts/default_texts.tsv (code page 932 bytes).
#pragma once

#include <cstdint>

namespace pkx {

// The text with resource ID `id`, NUL-terminated; null when there is none.
const char* FindBuiltinText(uint32_t id);

}  // namespace pkx
