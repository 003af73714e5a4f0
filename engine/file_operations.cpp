#include "engine/file_operations.h"

#include <cstring>

#include "core/cancellation.h"
#include "engine/backups.h"
#include "engine/delta_stream.h"
#include "package/format.h"
#include "support/paths.h"

namespace pkx {

namespace {

constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;
constexpr uint32_t kCopyChunk = 1024;
constexpr uint32_t kCreateNew = 1;  // CREATE_NEW: fails when the file exists
constexpr uint32_t kProgressDone = 1000;

void Send(ApplyContext& context, uint32_t code, intptr_t param) {
    if (context.events != nullptr) context.events->Send(code, param);
}

void SendPath(ApplyContext& context, uint32_t code, const char* path) {
    Send(context, code, reinterpret_cast<intptr_t>(path));
}

// trunc(part / whole * 1000); an empty whole counts as done.
uint32_t Permille(uint32_t part, uint32_t whole) {
    if (whole == 0) return kProgressDone;
    return static_cast<uint32_t>(static_cast<double>(part) / static_cast<double>(whole) *
                                 kProgressDone);
}

struct EntryPaths {
    char path[kPathBufferSize];
    char backup[kPathBufferSize];
};

// Every operation starts in the program's folder, so that a relative target
// folder means the same folder throughout. False when a name would not fit.
bool BeginOperation(const FileEntry& entry, const ApplyContext& context, EntryPaths* paths) {
    // The change of folder is not examined: a failure shows when the file is opened.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    return BuildFullPath(context.targetFolder, entry.name, paths->path) &&
           BuildBackupPath(paths->path, context.oldVersionLabel, paths->backup);
}

// The record's data must lie between the package start and its digest, at a
// distance the file layer can seek to.
bool DataInPackage(const FileEntry& entry, const PackageRef& package) {
    if (package.size < kDigestSize) return false;
    const uint64_t end = uint64_t{entry.dataOffset} + entry.dataSize;
    const uint64_t start = uint64_t{package.offset} + entry.dataOffset;
    return end <= package.size - kDigestSize && start <= 0x7FFFFFFFu;
}

// The path is recorded the moment the file sits under its backup name, so
// that any later failure is undone by the rollback.
bool MoveToBackup(const EntryPaths& paths, PackageRef& package) {
    if (Os().Move(paths.path, paths.backup) != 0) return false;
    package.backupPaths.emplace_back(paths.path);
    return true;
}

// The write time is part of the new version's identity (the date-and-size
// check of the next update), so failing to set it fails the file.
ResultCode SetWriteTime(FileHandle file, const FileEntry& entry) {
    return Os().SetWriteTime(file, entry.writeTime) == 0 ? result::kSuccess : result::kWriteNewFile;
}

// The file an add creates. Created with CREATE_NEW: an add never truncates a
// file that the existence test missed, so a file it did not create is never
// recorded for the rollback to delete.
class NewFile {
  public:
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile() { Close(); }

    uint32_t Create(const char* path) {
        FileHandle handle = kInvalidFile;
        const uint32_t r =
            Os().Open(path, kGenericWrite, kShareNone, kCreateNew, kAttributeArchive, &handle);
        if (r == 0) handle_ = handle;
        return r;
    }

    // 0 when all `count` bytes were written.
    uint32_t Write(const void* buffer, uint32_t count) {
        uint32_t done = 0;
        const uint32_t r = Os().Write(handle_, buffer, count, &done);
        if (r != 0) return r;
        return done == count ? 0 : win32err::kWriteFault;
    }

    FileHandle Handle() const { return handle_; }

    void Close() {
        if (handle_ != kInvalidFile) Os().Close(handle_);
        handle_ = kInvalidFile;
    }

  private:
    FileHandle handle_ = kInvalidFile;
};

// Copies the add's content in 1024-byte chunks, sending progress after each.
ResultCode CopyAddData(BinaryFile& programFile, NewFile& file, uint32_t size, uint32_t* copied,
                       ApplyContext& context) {
    if (CancelRequested(context)) return result::kCancelled;
    uint8_t buffer[kCopyChunk];
    uint32_t remaining = size;
    for (;;) {
        const uint32_t chunk = remaining < kCopyChunk ? remaining : kCopyChunk;
        if (programFile.Read(buffer, chunk) != 0) return result::kReadProgramFile;
        if (file.Write(buffer, chunk) != 0) return result::kWriteNewFile;
        *copied += chunk;
        remaining -= chunk;
        Send(context, EV_FILE_PROGRESS, Permille(*copied, size));
        if (remaining == 0) return result::kSuccess;
        if (CancelRequested(context)) return result::kCancelled;
    }
}

ResultCode CreateParentFolders(const char* path) {
    char drive[kPathBufferSize];
    char folder[kPathBufferSize];
    SplitPath(path, drive, folder, nullptr, nullptr);
    char parent[kPathBufferSize];
    if (!BuildFullPath(drive, folder, parent)) return result::kOpenNewFile;
    return CreateFolders(parent) != 0 ? result::kSuccess : result::kOpenNewFile;
}

ResultCode WriteAddedFile(BinaryFile& programFile, const FileEntry& entry, const EntryPaths& paths,
                          bool alreadyRecorded, PackageRef& package, ApplyContext& context) {
    NewFile file;
    if (file.Create(paths.path) != 0) return result::kOpenNewFile;
    if (!alreadyRecorded) package.backupPaths.emplace_back(paths.path);

    const int32_t dataStart = static_cast<int32_t>(package.offset + entry.dataOffset);
    if (programFile.Seek(dataStart, kFileBegin) == kSeekFailed) return result::kReadProgramFile;
    uint32_t copied = 0;
    ResultCode r = CopyAddData(programFile, file, entry.dataSize, &copied, context);
    Send(context, EV_FILE_PROGRESS, Permille(copied, entry.dataSize));
    if (r == result::kSuccess) r = SetWriteTime(file.Handle(), entry);
    return r;
}

}  // namespace

ResultCode UpdateEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                       ApplyContext& context) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenOldFile;
    const bool exists = FileExists(paths.path) != 0;
    if (!exists && context.skipMissingSources == 1) {
        SendPath(context, EV_SOURCE_MISSING, paths.path);
        return result::kSuccess;
    }
    if (entry.alreadyUpdated == 1) {
        SendPath(context, EV_ALREADY_UPDATED, paths.path);
        return result::kSuccess;
    }
    SendPath(context, EV_UPDATING_FILE, paths.path);
    if (!exists) return result::kOldFileMissing;
    if (!DataInPackage(entry, package)) return result::kReadProgramFile;
    if (!MoveToBackup(paths, package)) return result::kRenameToBackup;

    BinaryFile oldFile;
    if (oldFile.OpenRead(paths.backup, kShareNone, kAttributeNormal) != 0) {
        return result::kOpenOldFile;
    }
    BinaryFile newFile;
    if (newFile.OpenWrite(paths.path, kShareNone, kAttributeArchive) != 0) {
        return result::kOpenNewFile;
    }
    ResultCode r = ApplyDeltaStream(programFile, package, entry, oldFile, newFile, context);
    // Best effort, like the attributes a new file gets on Windows.
    if (r == result::kSuccess) {
        BestEffort(Os().CopyAccessMode(oldFile.NativeHandle(), newFile.NativeHandle()));
    }
    if (r == result::kSuccess) r = SetWriteTime(newFile.NativeHandle(), entry);
    return r;
}

ResultCode AddEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                    ApplyContext& context) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenNewFile;
    const bool exists = FileExists(paths.path) != 0;
    if (exists && entry.alreadyUpdated == 1) {
        SendPath(context, EV_ALREADY_ADDED, paths.path);
        return result::kSuccess;
    }
    // Any non-zero value allows the overwrite, as the verification accepts it.
    if (exists && context.overwriteExistingAdds == 0) {
        SendPath(context, EV_ADDING_FILE, paths.path);
        return result::kAddedFileExists;
    }
    SendPath(context, exists ? EV_OVERWRITING_NEW : EV_ADDING_FILE, paths.path);
    if (!DataInPackage(entry, package)) return result::kReadProgramFile;
    if (exists && !MoveToBackup(paths, package)) return result::kRenameToBackup;

    const ResultCode r = CreateParentFolders(paths.path);
    if (r != result::kSuccess) return r;
    return WriteAddedFile(programFile, entry, paths, exists, package, context);
}

ResultCode DeleteEntry(const FileEntry& entry, PackageRef& package, ApplyContext& context) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenOldFile;
    const bool exists = FileExists(paths.path) != 0;
    if (!exists && context.skipMissingDeletes == 1) {
        SendPath(context, EV_DELETE_TARGET_MISSING, paths.path);
        return result::kSuccess;
    }
    SendPath(context, EV_DELETING_FILE, paths.path);
    if (!exists) return result::kOldFileMissing;
    Send(context, EV_FILE_PROGRESS, 0);
    if (!MoveToBackup(paths, package)) return result::kRenameToBackup;
    Send(context, EV_FILE_PROGRESS, kProgressDone);
    return result::kSuccess;
}

}  // namespace pkx
