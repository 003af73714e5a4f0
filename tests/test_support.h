// Helpers for tests on real files and bytes. Paths have backslashes, as the
// engine writes them; the helpers bypass the seam, so a FaultInjector's counts
// stay as they are.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pkx::test {

// `path` with backslashes as the system's own separator.
std::string NativePath(const std::string& path);

// A new empty folder in the system's temporary folder, removed with all it holds.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }  // without a trailing backslash
    std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

  private:
    std::string path_;
};

// Writes `bytes` as the whole file, creating the folders on the way.
bool WriteFile(const std::string& path, const std::string& bytes);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
bool MakeFolders(const std::string& path);
bool IsFolder(const std::string& path);
bool PathExists(const std::string& path);

// Every file and folder below `folder`: the relative name (backslashes) of a
// file maps to its contents, that of a folder, with a trailing backslash, to "".
using Tree = std::map<std::string, std::string>;
Tree ListTree(const std::string& folder);

// The files of an installation: relative name (backslashes) to contents.
using Files = std::map<std::string, std::string>;
bool PutFiles(const std::string& folder, const Files& files);
// The files of a tree, folders left out.
Files FilesOf(const Tree& tree);
// Empty when equal; else which names are missing, extra or different.
std::string Difference(const Files& actual, const Files& expected);

using Bytes = std::vector<uint8_t>;
inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
// `size` reproducible bytes; different seeds give unrelated contents.
std::string Pattern(size_t size, uint32_t seed);
// `text` with the bytes [at, at + length) replaced by a fresh pattern.
std::string Edited(std::string text, size_t at, size_t length, uint32_t seed);
// `size` bytes of a seeded random generator.
Bytes RandomBytes(size_t size, uint32_t seed);
Bytes Slice(const Bytes& bytes, size_t offset, size_t length);
Bytes Concat(std::initializer_list<Bytes> parts);
// `size` bytes as lower-case hexadecimal digits.
std::string Hex(const void* bytes, size_t size);

// Makes `path` the current folder for the life of the object.
class ScopedCurrentFolder {
  public:
    explicit ScopedCurrentFolder(const std::string& path);
    ~ScopedCurrentFolder();
    ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
    ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;

  private:
    std::string previous_;
};

// A Windows program image of PE headers alone (512 bytes; PE32, or PE32+ when
// `wide`) whose security directory names a certificate table at
// `tableOffset` of `tableSize` bytes.
std::string PeImage(uint32_t tableOffset = 0, uint32_t tableSize = 0, bool wide = false);

}  // namespace pkx::test
