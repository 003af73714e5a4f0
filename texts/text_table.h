// Loading the display text table, its line breaks and template expansion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/apply_context.h"
#include "texts/text_ids.h"

namespace pkx {

// 2069 to 2071: English forms of 1069 to 1071 for packages below version 130.
inline constexpr uint32_t kEnglishTextOffset = 1000;

inline constexpr int32_t kDefaultFontHeight = 12;
// The Japanese table: its code page, and its font's face "ＭＳ Ｐゴシック" in
// code page 932.
inline constexpr uint32_t kDefaultTextCodePage = 932;
inline constexpr char kDefaultFontFace[] =
    "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E";
// The English table: ASCII texts, which read the same in every code page.
inline constexpr uint32_t kEnglishTextCodePage = 1252;
inline constexpr char kEnglishFontFace[] = "Arial";
// Font records hold a face name of 31 bytes and its terminator.
inline constexpr uint32_t kFaceNameSize = 32;

// The built-in table in use: Japanese when `systemCodePage` is 932, English
// otherwise.
TextLanguage BuiltinTextLanguage();

// Copies resource string `id` of the table in use into `buffer` (at most
// size - 1 bytes, always terminated); returns its length, 0 when the string
// does not exist.
uint32_t LoadResourceText(uint32_t id, char* buffer, uint32_t size);

// Fills all 74 slots from resource strings 1000 to 1073 of the table in use
// with their line breaks converted, and selects that table's code page and
// font.
void LoadDefaultTexts(ApplyContext& context);

// Puts the open and read failure texts into slots 1041 and 1042, 110 and
// 111 when `systemCodePage` is 932 and 210 and 211 otherwise, as they are.
void LoadStartupTexts(ApplyContext& context);

// Turns each backslash-n byte pair into CR LF in place, byte by byte.
void ConvertLineBreaks(char* text);

// Expands %s (value1, value2, then value3 for every further one), %1, %2 and
// %3 in `templ` into `destination`; "%" followed by any other character gives
// that character. Double-byte characters of `codePage` are copied whole. An
// absent (null) value inserts nothing. The result is cut to
// destinationSize - 1 bytes, never inside a double-byte character, and always
// terminated. Returns `destination`.
char* ExpandTemplate(char* destination, size_t destinationSize, const char* templ,
                     const char* value1, const char* value2, const char* value3, uint32_t codePage);

// Copies `face` into a 32-byte font face field, cut to at most 31 bytes
// without splitting a double-byte character of `codePage`.
void CopyFaceName(char* dest32, const char* face, uint32_t codePage);

}  // namespace pkx
