// Paths are UTF-8 inside the builder, on every system: std::filesystem takes
// and gives them as such (on Windows through its wide-character paths, where
// a plain string would be read in the ANSI code page).
#pragma once

#include <filesystem>
#include <string>

namespace pkx::builder {

inline std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}

inline std::string Utf8(const std::filesystem::path& path) { return path.u8string(); }

// A folder to walk: on Windows made absolute with the "\\?\" prefix, without
// which the system stops at MAX_PATH in the folders below. Such a path is
// not taken apart by std::filesystem: use RelativeTo below it.
std::filesystem::path LongPath(const std::string& utf8);

// `path`, found below `root`, relative to it.
std::filesystem::path RelativeTo(const std::filesystem::path& path,
                                 const std::filesystem::path& root);

}  // namespace pkx::builder
