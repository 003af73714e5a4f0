// A platform that keeps account of what is durable, so that a power cut can
// be played: CutPower takes back every write and change of names that the
// seam's durability calls have not yet made durable. The model is the weakest
// the seam promises: a file's data is durable after Flush, or after
// StartFlush once FlushFolder has returned for its folder; a new, moved or
// deleted name once FlushFolder has returned for each folder it changed.
// Files written through the seam are followed write by write (a file open
// without sharing cannot be read on Windows); others are read directly.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/platforms/platform_wrapper.h"

namespace pkx {

class PowerLossPlatform final : public PlatformWrapper {
  public:
    explicit PowerLossPlatform(Platform& inner) : PlatformWrapper(inner) {}

    // The power goes: what is not durable is undone on disk, but for the
    // first half of the last write when `keepTornWrite`, as a disk that lost
    // power in the middle of it. Handles must be closed before.
    void CutPower(bool keepTornWrite = false);

    // Defined here: the vtable must be emitted by the tests, built with RTTI.
    uint32_t Open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                  uint32_t flags, FileHandle* out) override {
        const bool writes = (access & kGenericWrite) != 0;
        const bool existed = inner().NameExists(path);
        const std::string before = existed && writes ? Content(path) : std::string();
        const uint32_t r = inner().Open(path, access, share, disposition, flags, out);
        if (r == 0 && writes) Opened(path, existed, before, disposition == kCreateAlways, *out);
        return r;
    }
    uint32_t Write(FileHandle file, const void* buffer, uint32_t count, uint32_t* done) override {
        const uint32_t r = inner().Write(file, buffer, count, done);
        Wrote(file, buffer, *done);
        return r;
    }
    uint32_t Seek(FileHandle file, int32_t distance, uint32_t origin, uint32_t* position) override {
        const uint32_t r = inner().Seek(file, distance, origin, position);
        const auto found = handles_.find(file);
        if (r == 0 && found != handles_.end()) found->second.position = *position;
        return r;
    }
    uint32_t Flush(FileHandle file) override;
    uint32_t StartFlush(FileHandle file) override;
    uint32_t FlushFolder(const char* folder) override;
    void Close(FileHandle file) override {
        handles_.erase(file);
        inner().Close(file);
    }
    uint32_t Move(const char* from, const char* to) override {
        const uint32_t r = inner().Move(from, to);
        if (r == 0) Moved(from, to);
        return r;
    }
    uint32_t Delete(const char* path) override {
        const std::string content = DurableContent(path);
        const uint32_t r = inner().Delete(path);
        if (r == 0) Deleted(path, content);
        return r;
    }
    uint32_t CreateFolder(const char* path) override {
        const uint32_t r = inner().CreateFolder(path);
        if (r == 0) FolderMade(path);
        return r;
    }
    uint32_t OpenFolder(const char* path, uint32_t trusted, FolderHandle* out) override;
    void CloseFolder(FolderHandle folder) override {
        folders_.erase(folder);
        inner().CloseFolder(folder);
    }
    uint32_t MoveIn(FolderHandle folder, const char* from, const char* to,
                    FileHandle* /*opened*/) override {
        // Hands over nothing: the file is opened by name, and so tracked.
        const uint32_t r = inner().MoveIn(folder, from, to, nullptr);
        if (r == 0) Moved(In(folder, from), In(folder, to));
        return r;
    }
    uint32_t DeleteIn(FolderHandle folder, const char* name) override {
        const std::string content = DurableContent(In(folder, name));
        const uint32_t r = inner().DeleteIn(folder, name);
        if (r == 0) Deleted(In(folder, name), content);
        return r;
    }
    uint32_t CreateFolderIn(FolderHandle folder, const char* name) override {
        const uint32_t r = inner().CreateFolderIn(folder, name);
        if (r == 0) FolderMade(In(folder, name));
        return r;
    }
    uint32_t RemoveFolderIn(FolderHandle folder, const char* name) override {
        const uint32_t r = inner().RemoveFolderIn(folder, name);
        if (r == 0) FolderRemoved(In(folder, name));
        return r;
    }
    uint32_t CreateIn(FolderHandle folder, const char* name, uint32_t access, uint32_t flags,
                      FileHandle* out) override {
        const uint32_t r = inner().CreateIn(folder, name, access, flags, out);
        if (r == 0) Opened(In(folder, name), false, std::string(), false, *out);
        return r;
    }
    uint32_t SetEnd(FileHandle file) override;

  private:
    // A file written through the seam; `path` is empty once it is gone.
    struct WrittenFile {
        std::string path;
        std::string data;  // as written
        std::string durable;
        std::string pending;  // taken by StartFlush, durable at FlushFolder
        bool hasPending = false;
    };
    struct OpenFile {
        size_t file = 0;
        uint64_t position = 0;
    };
    enum class NameKind { kCreated, kMoved, kDeleted, kFolderMade, kFolderRemoved };
    struct NameChange {
        NameKind kind;
        std::string path;
        std::string to;       // kMoved
        std::string content;  // kDeleted: what comes back
        std::set<std::string> unflushed;
    };

    // The last write: the file, where, and the bytes.
    struct LastWrite {
        size_t file = static_cast<size_t>(-1);
        uint64_t at = 0;
        std::string bytes;
    };

    static std::string Content(const std::string& path);
    static std::string FolderOf(std::string path);
    // `name` in an opened folder, as the engine writes paths.
    std::string In(FolderHandle folder, const char* name) const;
    WrittenFile* Written(FileHandle handle);
    void Opened(const std::string& path, bool existed, const std::string& before, bool truncated,
                FileHandle handle);
    void Wrote(FileHandle handle, const void* buffer, uint32_t count);
    void Moved(const std::string& from, const std::string& to);
    void Deleted(const std::string& path, const std::string& content);
    void FolderMade(const std::string& path);
    void FolderRemoved(const std::string& path);
    WrittenFile* Find(const std::string& path);
    std::string DurableContent(const std::string& path);
    void UndoName(const NameChange& change);

    std::map<FileHandle, OpenFile> handles_;
    std::map<FolderHandle, std::string> folders_;  // with a separator at the end
    LastWrite lastWrite_;
    std::vector<WrittenFile> files_;
    std::vector<NameChange> names_;  // not durable yet, in order
};

}  // namespace pkx
