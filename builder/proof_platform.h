// The system as the updater meets it when the builder runs the updater's
// engine itself: an installation in a scratch folder that every folder
// source finds, no running programs, and, for a package whose names are in a
// Windows code page, the string handling of a Windows system of that code
// page over the UTF-8 names of this file system. The updater file itself
// is held in memory, and other files opened for reading alone are read
// ahead, since the engine reads them in 512-byte steps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pkx::builder {

class UpdaterPlatform final : public Platform {
  public:
    // `namesCodePage`: the code page of the package's names, if it has one.
    UpdaterPlatform(Platform& inner, std::optional<uint32_t> namesCodePage);
    UpdaterPlatform(const UpdaterPlatform&) = delete;
    UpdaterPlatform& operator=(const UpdaterPlatform&) = delete;

    // The updater file (ModulePath), as the engine writes paths: `zeros`
    // zero bytes and then `image`, which must outlive the platform's use.
    void SetProgram(const std::string& path, const std::vector<uint8_t>& image, uint64_t zeros) {
        program_ = path;
        image_ = &image;
        imageZeros_ = zeros;
    }
    // The installation folder, as the engine writes paths (no trailing backslash).
    void SetInstallation(const std::string& folder) { installation_ = folder; }

    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override;
    uint32_t Read(FileHandle file, void* buffer, uint32_t count, uint32_t* done) override;
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        return inner_.Write(file, buffer, count, done);
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override;
    uint32_t Size(FileHandle file, uint32_t* size) override;
    uint32_t GetWriteTime(FileHandle file, FileTime* time) override {
        return inner_.GetWriteTime(file, time);
    }
    uint32_t SetWriteTime(FileHandle file, const FileTime& time) override {
        return inner_.SetWriteTime(file, time);
    }
    uint32_t CopyAccessMode(FileHandle from, FileHandle to) override {
        return inner_.CopyAccessMode(from, to);
    }
    void Close(FileHandle file) override;
    // The proof's scratch installation need not survive a power cut.
    uint32_t Flush(FileHandle) override { return win32err::kSuccess; }
    uint32_t StartFlush(FileHandle) override { return win32err::kSuccess; }
    uint32_t FlushFolder(const char*) override { return win32err::kSuccess; }

    bool Exists(const char* pattern) override;
    bool NameExists(const char* path) override;
    uint32_t Move(const char* from, const char* to) override;
    uint32_t Delete(const char* path) override;
    uint32_t CreateFolder(const char* path) override;
    uint32_t OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) override;
    void CloseFolder(FolderHandle folder) override { inner_.CloseFolder(folder); }
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* opened) override;
    uint32_t DeleteIn(FolderHandle folder, const char* name) override;
    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override;
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override;
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override;
    uint32_t SetEnd(FileHandle file) override { return inner_.SetEnd(file); }
    uint32_t SetCurrentFolder(const char* path) override;
    uint32_t ModulePath(char* buffer, uint32_t size) override;

    uint32_t AnsiCodePage() override;
    uint32_t InsideCodePage(uint32_t codePage) override;
    void ConvertToInside(uint32_t codePage, const char* text, char* buffer, uint32_t size) override;
    uint32_t LoadText(uint32_t id, TextLanguage language, char* buffer, uint32_t size) override {
        return inner_.LoadText(id, language, buffer, size);
    }
    void PathForDisplay(const char* path, char* buffer, uint32_t size) override {
        inner_.PathForDisplay(path, buffer, size);
    }
    uint32_t Milliseconds() override { return inner_.Milliseconds(); }
    void Sleep(uint32_t milliseconds) override { inner_.Sleep(milliseconds); }

    uint32_t RegistryValue(RegistryRoot root, const char* key, const char* name, char* buffer,
                           uint32_t size) override;
    uint32_t IniValue(const char* file, const char* section, const char* key, char* buffer,
                      uint32_t size) override;
    bool SpecialFolderPath(SpecialFolder folder, char* buffer, uint32_t size) override;
    uint32_t EnumerateProcesses(ProcessVisitor& visitor) override;
    bool FindTopWindow(const char* title, const char* className) override;
    bool RunsElevated() override { return inner_.RunsElevated(); }
    uint32_t ProbeFolderWrite(const char* folder) override;

  private:
    // What was read ahead of the engine's position. The system's position
    // is always at the end of `data`, and the engine's lies within it.
    struct ReadAhead {
        std::vector<uint8_t> data;
        uint64_t start = 0;     // the file position of data[0]
        uint64_t position = 0;  // the engine's
    };

    // `path` with the names below the installation converted to UTF-8;
    // false when they do not convert.
    bool Native(const char* path, std::string* out) const;
    // A name in a folder of the installation, converted the same way.
    bool NativeName(const char* name, std::string* out) const;

    uint64_t ProgramSize() const { return imageZeros_ + image_->size(); }
    uint32_t ReadProgram(uint64_t* position, void* buffer, uint32_t count, uint32_t* done);
    uint32_t SeekProgram(uint64_t* position, int32_t distance, uint32_t origin,
                         uint32_t* result) const;

    Platform& inner_;
    std::optional<uint32_t> namesCodePage_;
    std::string program_;
    std::string installation_;
    std::map<FileHandle, ReadAhead> readAhead_;
    const std::vector<uint8_t>* image_ = nullptr;
    uint64_t imageZeros_ = 0;
    // Open handles of the updater file (negative, unlike the system's) and
    // their positions.
    std::map<FileHandle, uint64_t> programHandles_;
    FileHandle nextProgramHandle_ = -2;
};

// The backup name the updater gives the installed file `name` (package
// bytes, relative to the installation) in a package whose old version label
// is `label`, on a system whose names are in `namesCodePage` (or this one's
// without). False when it does not fit the updater's 259-byte paths.
bool UpdaterBackupName(const std::string& name, const std::string& label,
                       std::optional<uint32_t> namesCodePage, std::string* backup);

}  // namespace pkx::builder
