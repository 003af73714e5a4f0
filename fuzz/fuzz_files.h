// What the difference fuzzers share: a folder for the files of one run, and
// one application of a stream through the updater's reader to real files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/delta_stream.h"
#include "package/writer/package_writer.h"

namespace pkx::fuzz {

using Bytes = std::vector<uint8_t>;

inline void Check(bool condition) {
    if (!condition) std::abort();
}

// Where the three files of one run live; removed at exit. A memory-backed
// folder, where there is one, runs about twenty times as many inputs.
class Folder {
  public:
    explicit Folder(const char* prefix) {
        std::random_device seed;
        std::error_code error;
        const std::filesystem::path memory = "/dev/shm";
        const std::filesystem::path base = std::filesystem::is_directory(memory, error)
                                               ? memory
                                               : std::filesystem::temp_directory_path();
        path_ = base / (prefix + std::to_string(seed()));
        std::filesystem::create_directories(path_);
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const char* name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline uint32_t U32At(const Bytes& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

inline Bytes ReadWhole(const std::string& path) {
    BinaryFile file;
    Check(file.OpenRead(path.c_str(), kShareNone, kAttributeNormal) == 0);
    Bytes bytes(file.Size());
    Check(file.Read(bytes.data(), static_cast<uint32_t>(bytes.size())) == 0);
    return bytes;
}

// Applies `stream` (the whole program file) to `oldData`; the new file's
// bytes go to `output`.
inline ResultCode ApplyStream(const Folder& folder, const uint8_t* stream, size_t streamSize,
                              const Bytes& oldData, ApplyContext& context, Bytes* output) {
    const std::string programPath = folder.File("program");
    const std::string oldPath = folder.File("old");
    const std::string newPath = folder.File("new");
    Check(packwriter::WriteFileBytes(programPath.c_str(), Bytes(stream, stream + streamSize)) == 0);
    Check(packwriter::WriteFileBytes(oldPath.c_str(), oldData) == 0);
    PackageRef package;
    FileEntry entry;
    entry.dataSize = static_cast<uint32_t>(streamSize);
    ResultCode result = 0;
    {
        BinaryFile programFile;
        BinaryFile oldFile;
        BinaryFile newFile;
        Check(programFile.OpenRead(programPath.c_str(), kShareRead, kAttributeNormal) == 0);
        Check(oldFile.OpenRead(oldPath.c_str(), kShareNone, kAttributeNormal) == 0);
        Check(newFile.OpenWrite(newPath.c_str(), kShareNone, kAttributeArchive) == 0);
        result = ApplyDeltaStream(programFile, package, entry, oldFile, newFile, context);
    }
    *output = ReadWhole(newPath);
    return result;
}

}  // namespace pkx::fuzz
