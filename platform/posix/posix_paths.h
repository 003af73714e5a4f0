// How Windows-style paths of the engine become POSIX paths, and back.
//
// Separators: a backslash and a slash both separate; at the seam every
// backslash becomes a slash. A file name holding a real backslash cannot be
// named through the seam.
//
// Drives: Linux has one tree, which plays the part of the single drive. A
// leading "X:" (an ASCII letter and a colon) is dropped, so the rest keeps its
// Windows meaning: "C:\dir" is the absolute "/dir"; "C:dir" and "C:" are
// relative to the current folder, as drive-relative paths are on Windows when
// the drive is the current one. UNC names ("\\server\share") become
// "//server/share", which POSIX reads as "/server/share".
//
// Paths handed back by the seam (module path, special folders, process
// paths) use backslashes, so the engine sees one style everywhere.
#pragma once

#include <cstdint>
#include <string>

namespace pkx::posix {

// The POSIX path for a path of the engine; "." for an empty path.
std::string NativePath(const char* path);

// `path` with every slash replaced by a backslash.
std::string WindowsStylePath(const std::string& path);

// True when `name` matches the FindFirstFileA pattern `pattern`: "*" matches
// any run of characters, "?" one character, ASCII letters match either case,
// double-byte characters of `codePage` count as one character and match only
// themselves, and a pattern ending in ".*" also matches the name without
// that ending (so "*.*" matches every name, and "readme.*" matches "readme").
bool MatchesPattern(const char* pattern, const char* name, uint32_t codePage);

}  // namespace pkx::posix
