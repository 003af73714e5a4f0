// GetPrivateProfileStringA over the text of an INI file.
#pragma once

#include <cstdint>
#include <string>

namespace pkx::posix {

// Looks up `key` in `section` of the INI text `bytes` the way
// GetPrivateProfileStringA does with an empty default:
//  - section and key names compare without regard to ASCII case;
//  - only the first section of the name is searched, and its first line
//    with the key wins;
//  - white space around section names, keys and values is dropped, and a
//    value enclosed in a matching pair of ' or " loses the pair;
//  - lines starting with ';' are comments, lines before the first section
//    belong to none;
//  - a UTF-16LE file (with byte-order mark) is read as UTF-8 text.
// Copies at most size - 1 bytes and a NUL; returns the bytes copied
// (0 when nothing was found, with an empty buffer).
uint32_t FindIniValue(const std::string& bytes, const char* section, const char* key, char* buffer,
                      uint32_t size);

}  // namespace pkx::posix
