// The program's built-in string tables for builds without Windows resources,
// generated from texts/default_texts.tsv (UTF-8).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace pkx {

// The text with resource ID `id` in the table of `language`, NUL-terminated;
// null when there is none.
const char* FindBuiltinText(TextLanguage language, uint32_t id);

}  // namespace pkx
