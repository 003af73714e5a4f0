// Existence tests, names inside a folder, backup-name cleaning, path
// joining and splitting on ANSI path strings.
#pragma once

#include <cstdint>

namespace pkx {

inline constexpr uint32_t kPathSize = 260;  // the buffer of every path: 259 bytes and a NUL

// 1 when FindFirstFileA finds `path` (a folder counts, wildcards match by
// pattern, a trailing backslash reads as missing), else 0.
int FileExists(const char* path);

// The characters that may not stand in a backup name, in this order.
inline constexpr char kInvalidNameChars[] = "/:,;*?\"<>|";

// Replaces each of kInvalidNameChars in `text` by `replacement`, leaving
// double-byte characters of code page 932 whole whatever the system code
// page is. Returns `text`.
char* ReplaceInvalidNameChars(char* text, char replacement);

// `folder` immediately followed by `name`, in the kPathSize-byte `path`;
// false, with `path` empty, when the result would not fit.
bool BuildFullPath(const char* folder, const char* name, char* path);

// The drive and folder of `path`, with its separator, in the kPathSize-byte
// `parent`; false, and an empty `parent`, when they would not fit.
bool ParentFolder(const char* path, char* parent);

// True for a name that stays inside the folder it is taken in: relative (no
// leading separator, no drive), and no step that is empty, that Windows reads
// as "." or ".." (dots and spaces only, which it drops from the end of a
// name), or that names a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to
// LPT9, with any extension). Steps are split at backslashes and slashes;
// double-byte characters of the system code page are passed over whole.
bool IsNameInsideFolder(const char* name);

// Splits `path` into drive ("C:"), folder (up to and including the last
// backslash or slash), base name and extension (from the last dot of the
// file name, at most 255 characters). Double-byte characters of the system
// code page are passed over whole. Each output is optional (null) and, when
// given, a kPathSize-byte buffer; longer parts are cut to fit.
void SplitPath(const char* path, char* drive, char* folder, char* baseName, char* extension);

}  // namespace pkx
