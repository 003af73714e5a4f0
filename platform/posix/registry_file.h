// Registry values read from a Windows registry export (".reg" text), the
// stand-in for the registry on POSIX systems.
//
// Accepted: the "REGEDIT4" and "Windows Registry Editor Version 5.00"
// headers; UTF-16LE with byte-order mark (as regedit writes version 5),
// UTF-8 or 8-bit text; [root\key] sections with the long root names or
// HKCR/HKCU/HKLM/HKU, [-root\key] deletions; "name"= or @= values of the
// forms "string" (escapes \\ and \"), dword:hhhhhhhh, hex:bb,bb,... and
// hex(n):bb,...; "name"=- deletions; continuation lines ending in a
// backslash; ';' comments. Key and value names compare without regard to
// ASCII case; a later assignment of a value replaces an earlier one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace pkx::posix {

inline constexpr uint32_t kErrorMoreData = 234;  // ERROR_MORE_DATA

// RegQueryValueExA of `name` ("" or null: the default value) under
// root\key in the export text `bytes`. The value's bytes are copied as
// stored: a string with its terminator, a dword as 4 little-endian bytes,
// hex data as listed. In a version 5 file, the string kinds stored as hex
// (hex(1), hex(2) expand strings and hex(7) multi-strings) are UTF-16LE and
// come back as UTF-8, as the A-function converts them to 8-bit text.
// Returns 0; 2 when the file is no export, or the key or value is missing;
// 234 when the value and a terminating NUL do not fit in `size` bytes.
// On success the buffer holds a NUL after the value's bytes, unless the
// value ends with one.
uint32_t FindRegistryValue(const std::string& bytes, RegistryRoot root, const char* key,
                           const char* name, char* buffer, uint32_t size);

}  // namespace pkx::posix
