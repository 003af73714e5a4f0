// Helpers for tests that work on real files: a temporary folder, whole-file
// reads and writes, and a listing of a tree for byte-for-byte comparison.
//
// Paths are written as the engine writes them, with backslashes; on POSIX
// the platform maps them. The helpers here touch files directly (never
// through the seam), so they leave the counts of a FaultInjector alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pkx::test {

// `path` with backslashes as the system's own separator.
std::string NativePath(const std::string& path);

// A new empty folder in the system's temporary folder, removed with all it
// holds when the object goes.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, with backslashes and without a trailing one.
    const std::string& path() const { return path_; }
    // The folder, a backslash and `relative`.
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

// Sets (or, with a null value, removes) an environment variable for the life
// of the object.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A Windows program image of PE headers alone (512 bytes; PE32, or PE32+ when
// `wide`) whose security directory names a certificate table at
// `tableOffset` of `tableSize` bytes.
std::string PeImage(uint32_t tableOffset = 0, uint32_t tableSize = 0, bool wide = false);

}  // namespace pkx::test
