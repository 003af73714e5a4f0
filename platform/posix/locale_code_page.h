// The ANSI code page that a locale name implies.
#pragma once

#include <cstdint>

namespace pkx::posix {

// The Windows ANSI code page of the language (and, for Chinese, the
// territory) of a POSIX locale name such as "ja_JP.UTF-8", "zh_TW" or
// "sr_RS@latin", as Wine chooses it: 932 Japanese, 936 Simplified Chinese,
// 949 Korean, 950 Traditional Chinese, 874 Thai, 1250 Central European,
// 1251 Cyrillic, 1253 Greek, 1254 Turkish, 1255 Hebrew, 1256 Arabic,
// 1257 Baltic, 1258 Vietnamese, else (C, POSIX, unknown, null) 1252.
uint32_t CodePageOfLocale(const char* locale);

// The code page of the locale in force for character types: LC_ALL, then
// LC_CTYPE, then LANG, the first that is set and not empty.
uint32_t CodePageOfEnvironment();

}  // namespace pkx::posix
