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

}  // namespace pkx::builder
