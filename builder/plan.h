// Building an update from folders: one package per old folder, each taking
// that folder's files to the new folder's, in a "LUMP" container when there
// are several; then the self-extracting file around it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "builder/manifest.h"
#include "package/writer/package_writer.h"

namespace pkx::builder {

// Told how far long work has come; the command line draws a bar with it.
class Progress {
  public:
    virtual ~Progress() = default;
    // A new task of `total` units (bytes read).
    virtual void Start(const std::string& task, uint64_t total) = 0;
    virtual void Advance(uint64_t amount) = 0;
    virtual void Finish() = 0;
};

// Block sizes outside this range make streams or the updater's buffer absurd.
inline constexpr uint32_t kSmallestBlockSize = 16;
inline constexpr uint32_t kLargestBlockSize = 16u << 20;

struct BuildRequest {
    std::vector<std::string> oldFolders;  // in the order of application
    std::string newFolder;
    Manifest manifest;
    uint16_t formatVersion = kNewestFormatVersion;
    uint32_t blockSize = 0;  // 0: fitted to each stream
};

struct PackageSummary {
    std::string oldFolder;
    std::string oldLabel;
    std::string newLabel;
    size_t updates = 0;
    size_t adds = 0;
    size_t deletes = 0;
    size_t unchanged = 0;
    size_t size = 0;  // bytes of the package
};

struct BuildResult {
    packwriter::Bytes payload;  // one package, or a "LUMP" container
    bool container = false;
    std::vector<PackageSummary> packages;
    std::vector<std::string> warnings;
};

// Builds the payload. Before it gives the payload back, it replays the
// updater's verification rules for a copy of every old folder and refuses a
// container that would stop on one of them or leave other files than the
// new folder's. `progress` may be null.
bool BuildPayload(const BuildRequest& request, Progress* progress, BuildResult* result,
                  std::string* error);

// --- The replay of the updater's rules, on check values only.

// One file as the updater's verification sees it, and what it holds.
struct FileValue {
    std::string name;
    CheckValue check;  // in the package's check mode
    CheckValue md5;
    uint64_t size = 0;
};
using FolderValues = std::map<std::string, FileValue>;  // by FoldCase(name)

// A package's records by file key, in the order of the package's lists.
struct PlannedPackage {
    packwriter::PackageModel model;
    std::vector<std::string> updateKeys;
    std::vector<std::string> addKeys;
    std::vector<std::string> deleteKeys;
    PackageSummary summary;
};

// Empty when applying `packages` (one package alone, or a container) to an
// installation holding `installed` ends with exactly the files of `target`;
// otherwise the reason, in one line.
std::string ReplayRun(const std::vector<PlannedPackage>& packages, const FolderValues& installed,
                      const FolderValues& target);

// --- The self-extracting file.

// Reads the updater program that goes in front of the payload; refuses one
// that reaches the payload offset 0x1F000.
bool LoadStub(const std::string& path, packwriter::Bytes* stub, std::string* error);

// The updater built next to the builder at `builderPath`: pkxupdate, else
// pkxupdate.exe.
bool FindDefaultStub(const std::string& builderPath, std::string* stubPath, std::string* error);

// Writes `bytes` to `path` through a temporary file, so that a failure leaves
// no half-written output; `executable` sets the execute permissions.
bool WriteOutput(const std::string& path, const packwriter::Bytes& bytes, bool executable,
                 std::string* error);

}  // namespace pkx::builder
