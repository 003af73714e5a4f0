// The builder's seam on Windows: the Win32 platform with paths and names
// in UTF-8, reaching the system through its wide-character functions, so
// that a release folder may hold names of any language and paths longer
// than MAX_PATH. The updater itself keeps the ANSI platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pkx::win32 {

// The platform of this kind; install it with SetPlatform.
Platform& Utf8PathPlatform();

// The program's arguments in UTF-8, read from the wide command line.
std::vector<std::string> Utf8Arguments();

// Console output taken as UTF-8.
void UseUtf8Console();

// One entry of a folder.
struct FolderEntry {
    std::string name;  // UTF-8
    bool folder = false;
    bool link = false;  // a link, junction or other reparse point
    uint64_t size = 0;
};

// The entries of the folder at `path` (UTF-8, any length), without "." and
// ".."; 0 or the system's error code.
uint32_t ListFolder(const std::string& path, std::vector<FolderEntry>* entries);

// Copies the file `from` to the new file `to` with its write time, which
// CopyFileW keeps at full precision; 0 or the system's error code.
uint32_t CopyFileKeepingTime(const std::string& from, const std::string& to);

// The machine's physical memory in bytes, 0 when unknown.
uint64_t PhysicalMemory();

// What any change to the file at `path` (UTF-8) moves: its file index and
// its change time; false when it cannot be read.
bool FileIdentity(const char* path, uint64_t* index, int64_t* changeTime);

// Makes a new folder `prefix` + six characters; its path, or empty.
std::string NewFolder(const std::string& prefix);

// Whether the system converts text of `codePage`.
bool KnowsCodePage(uint32_t codePage);

// `text` of `from` in code page `to` (65001: UTF-8); false when a byte is
// not text of `from` or a character has no form in `to`.
bool ConvertText(const std::string& text, uint32_t from, uint32_t to, std::string* out);

}  // namespace pkx::win32
