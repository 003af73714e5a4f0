#include "engine/file_operations.h"

#include <cstring>

#include "core/cancellation.h"
#include "engine/backups.h"
#include "engine/delta_stream.h"
#include "engine/folder_changes.h"
#include "engine/journal.h"
#include "package/format.h"
#include "platform/double_byte.h"
#include "support/md5.h"
#include "support/paths.h"

namespace pkx {

namespace {

constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;
constexpr uint32_t kCopyChunk = 1024;
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

// Changes are made below the target folder, through no link (folder_changes.h).
size_t Trusted(const ApplyContext& context) { return std::strlen(context.targetFolder); }

// False when the record's name is refused or would not fit.
bool BuildPaths(const FileEntry& entry, const ApplyContext& context, EntryPaths* paths) {
    return IsRecordNameAllowed(entry.name) &&
           BuildFullPath(context.targetFolder, entry.name, paths->path) &&
           BuildBackupPath(paths->path, context.oldVersionLabel, paths->backup);
}

// Every operation runs in the program's folder, so that a relative target
// folder means the same folder throughout: ForeseeChanges moves there before
// the first, and nothing between the operations moves elsewhere.
bool BeginOperation(const FileEntry& entry, const ApplyContext& context, EntryPaths* paths) {
    return BuildPaths(entry, context, paths);
}

// A file the old-file check opened, or the foresight found, is not asked
// for again (FileEntry::foundThere).
bool FoundOrExists(const FileEntry& entry, const EntryPaths& paths) {
    return entry.foundThere == 1 || FileExists(paths.path) != 0;
}

Change MakeChange(ChangeKind kind, const EntryPaths& paths) {
    Change change;
    change.kind = kind;
    std::strcpy(change.path, paths.path);
    if (kind != ChangeKind::kAdd) std::strcpy(change.backup, paths.backup);
    return change;
}

// Every change is in the journal, durably, before it is made.
ResultCode Record(ChangeKind kind, const EntryPaths& paths, const PackageRef& package,
                  ApplyContext& context) {
    return RecordChange(context, package, MakeChange(kind, paths));
}

// The record's data must lie between the package start and its digest, at a
// distance the file layer can seek to. A data block's bounds were checked
// before anything was written.
bool DataInPackage(const FileEntry& entry, const PackageRef& package) {
    if (package.compressed == 1) return true;
    if (package.size < kDigestSize) return false;
    const uint64_t end = uint64_t{entry.dataOffset} + entry.dataSize;
    const uint64_t start = uint64_t{package.offset} + entry.dataOffset;
    return end <= package.size - kDigestSize && start <= 0x7FFFFFFFu;
}

// A backup name that is taken (left from an earlier run) fails the move
// before anything is recorded: a backup the journal names is always the
// run's own (a move the journal has planned was asked for by the foresight
// before the plan was written). The path joins `backupPaths`, whose backups
// the end of the run deletes, the moment the file sits under its backup name.
// `folder` stays open for what the caller does next in it. With `opened`,
// the file moved may come open for reading (FolderBelow::Move).
ResultCode MoveToBackup(const EntryPaths& paths, PackageRef& package, ApplyContext& context,
                        FolderBelow& folder, FileHandle* opened = nullptr) {
    const Change change = MakeChange(ChangeKind::kBackup, paths);
    if (!IsPlannedNext(context, change) && Os().NameExists(paths.backup)) {
        return result::kRenameToBackup;
    }
    const ResultCode r = RecordChange(context, package, change);
    if (r != result::kSuccess) return r;
    if (folder.Open(paths.path, Trusted(context)) != 0 ||
        folder.Move(paths.path, paths.backup, opened) != 0) {
        return result::kRenameToBackup;
    }
    package.backupPaths.emplace_back(paths.path);
    package.folderLength = static_cast<uint32_t>(Trusted(context));
    return result::kSuccess;
}

// A file that could not be created may have been there after all, though
// the run took it for absent: its recorded change must not let the rollback
// delete it.
ResultCode NotCreated(ApplyContext& context) {
    return VoidLastChange(context) == result::kSuccess ? result::kOpenNewFile : result::kJournal;
}

// A new file is on its way to the disk before it is closed; the commit
// waits for it.
ResultCode StartFlush(FileHandle file) {
    return Os().StartFlush(file) == 0 ? result::kSuccess : result::kWriteNewFile;
}

// A rebuilt file whose record carries its MD5 digest must have it: a
// damaged stream rebuilds something else, whatever the package digest says.
// Its bytes are digested as they are written, not read back.
bool ChecksRebuiltFile(const ApplyContext& context) {
    return context.hasNewCheckValues == 1 && context.checkMode == kCheckModeMd5;
}

ResultCode CheckRebuiltFile(MD5_CTX* written, const FileEntry& entry) {
    uint8_t digest[sizeof(CheckValue::bytes)];
    MD5Final(digest, written);
    return std::memcmp(digest, entry.newCheckValue.bytes, sizeof digest) == 0
               ? result::kSuccess
               : result::kWriteNewFile;
}

// The write time is part of the new version's identity (the date-and-size
// check of the next update), so failing to set it fails the file.
ResultCode SetWriteTime(FileHandle file, const FileEntry& entry) {
    return Os().SetWriteTime(file, entry.writeTime) == 0 ? result::kSuccess : result::kWriteNewFile;
}

// The file an add creates. Created with CREATE_NEW: an add never truncates a
// file that the existence test missed, and the change recorded for a file it
// could not create is declared void, so the rollback never deletes it.
class NewFile {
  public:
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile() { Close(); }

    uint32_t Create(const char* path, size_t trusted) {
        FileHandle handle = kInvalidFile;
        const uint32_t r =
            CreateFileBelow(path, trusted, kGenericWrite, kAttributeArchive, &handle);
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

// Writes the add's content from the literal stream, sending progress after
// each piece and polling Cancel between pieces.
ResultCode CopyBlockData(CompressedStreamReader& literals, NewFile& file, uint32_t size,
                         uint32_t* copied, ApplyContext& context) {
    if (CancelRequested(context)) return result::kCancelled;
    for (;;) {
        if (*copied < size) {
            const uint8_t* data = nullptr;
            uint32_t piece = 0;
            const ResultCode r = literals.Next(size - *copied, &data, &piece);
            if (r != result::kSuccess) return r;
            if (file.Write(data, piece) != 0) return result::kWriteNewFile;
            *copied += piece;
        }
        Send(context, EV_FILE_PROGRESS, Permille(*copied, size));
        if (*copied == size) return result::kSuccess;
        if (CancelRequested(context)) return result::kCancelled;
    }
}

// A compressed package's record that is not applied is read and dropped, so
// that the next record starts at its own data.
ResultCode SkipUpdateData(DataBlockReader* block, const FileEntry& entry, ApplyContext& context) {
    return block != nullptr ? block->SkipUpdate(entry.dataSize, context) : result::kSuccess;
}

// Calls `visit` with each folder of `path` below the target folder, the
// outermost first, each without its last separator; stops when it returns false.
template <typename Visit>
bool ForEachFolderBelow(const char* path, size_t trusted, Visit visit) {
    const uint32_t codePage = Os().InsideCodePage(Os().AnsiCodePage());
    char folder[kPathBufferSize];
    for (size_t at = trusted; path[at] != '\0'; at += CharLength(path + at, codePage)) {
        if (path[at] != '\\' && path[at] != '/') continue;
        std::memcpy(folder, path, at);
        folder[at] = '\0';
        if (!visit(folder)) return false;
    }
    return true;
}

Change FolderChange(const char* folder) {
    Change change;
    change.kind = ChangeKind::kFolder;
    std::strcpy(change.path, folder);
    return change;
}

// Each missing folder of an added file, recorded before it is made. One
// that another program made meanwhile was not made by this run.
ResultCode CreateMissingFolders(const char* path, const PackageRef& package,
                                ApplyContext& context) {
    ResultCode r = result::kSuccess;
    ForEachFolderBelow(path, Trusted(context), [&](const char* folder) {
        if (Os().NameExists(folder)) return true;
        r = RecordChange(context, package, FolderChange(folder));
        if (r != result::kSuccess) return false;
        const uint32_t made = ChangeBelow(NameChange::kCreateFolder, folder, Trusted(context));
        if (made != 0 && made != win32err::kAlreadyExists) r = NotCreated(context);
        if (made == win32err::kAlreadyExists && VoidLastChange(context) != result::kSuccess) {
            r = result::kJournal;
        }
        return r == result::kSuccess;
    });
    return r;
}

ResultCode WriteAddedFile(BinaryFile& programFile, const FileEntry& entry, const EntryPaths& paths,
                          bool overwrite, PackageRef& package, ApplyContext& context,
                          DataBlockReader* block) {
    ResultCode r =
        Record(overwrite ? ChangeKind::kWrite : ChangeKind::kAdd, paths, package, context);
    if (r != result::kSuccess) return r;
    NewFile file;
    if (file.Create(paths.path, Trusted(context)) != 0) return NotCreated(context);

    uint32_t copied = 0;
    if (block != nullptr) {
        r = CopyBlockData(block->literals(), file, entry.dataSize, &copied, context);
    } else {
        const int32_t dataStart = static_cast<int32_t>(package.offset + entry.dataOffset);
        if (programFile.Seek(dataStart, kFileBegin) == kSeekFailed) return result::kReadProgramFile;
        r = CopyAddData(programFile, file, entry.dataSize, &copied, context);
    }
    Send(context, EV_FILE_PROGRESS, Permille(copied, entry.dataSize));
    if (r == result::kSuccess) r = SetWriteTime(file.Handle(), entry);
    if (r == result::kSuccess) r = StartFlush(file.Handle());
    return r;
}

// --- What the operations will change, foreseen for the journal. Each
// returns false when its operation is expected to fail before any change.

bool ForeseeUpdate(FileEntry& entry, const PackageRef& package, ApplyContext& context,
                   std::vector<Change>* changes) {
    EntryPaths paths;
    if (!BuildPaths(entry, context, &paths)) return false;
    const bool exists = FoundOrExists(entry, paths);
    if (!exists && context.skipMissingSources == 1) return true;
    if (entry.alreadyUpdated == 1) return true;
    if (!exists || !DataInPackage(entry, package) || Os().NameExists(paths.backup)) return false;
    changes->push_back(MakeChange(ChangeKind::kBackup, paths));
    changes->push_back(MakeChange(ChangeKind::kWrite, paths));
    entry.foundThere = 1;
    return true;
}

// The folders an added file needs that are neither there nor foreseen.
void ForeseeFolders(const char* path, const ApplyContext& context, std::vector<Change>* changes) {
    ForEachFolderBelow(path, Trusted(context), [&](const char* folder) {
        if (Os().NameExists(folder)) return true;
        for (const Change& change : *changes) {
            if (change.kind == ChangeKind::kFolder && std::strcmp(change.path, folder) == 0) {
                return true;
            }
        }
        changes->push_back(FolderChange(folder));
        return true;
    });
}

bool ForeseeAdd(const FileEntry& entry, const PackageRef& package, ApplyContext& context,
                std::vector<Change>* changes) {
    EntryPaths paths;
    if (!BuildPaths(entry, context, &paths)) return false;
    const bool exists = Os().NameExists(paths.path);
    if (exists && entry.alreadyUpdated == 1) return true;
    if ((exists && context.overwriteExistingAdds == 0) || !DataInPackage(entry, package)) {
        return false;
    }
    if (!exists) {
        ForeseeFolders(paths.path, context, changes);
        changes->push_back(MakeChange(ChangeKind::kAdd, paths));
        return true;
    }
    if (Os().NameExists(paths.backup)) return false;
    changes->push_back(MakeChange(ChangeKind::kBackup, paths));
    changes->push_back(MakeChange(ChangeKind::kWrite, paths));
    return true;
}

bool ForeseeDelete(const FileEntry& entry, ApplyContext& context, std::vector<Change>* changes) {
    EntryPaths paths;
    if (!BuildPaths(entry, context, &paths)) return false;
    const bool exists = FoundOrExists(entry, paths);
    if (!exists && context.skipMissingDeletes == 1) return true;
    if (!exists || Os().NameExists(paths.backup)) return false;
    changes->push_back(MakeChange(ChangeKind::kBackup, paths));
    return true;
}

}  // namespace

void ForeseeChanges(FileEntryLists& lists, const PackageRef& package, ApplyContext& context,
                    std::vector<Change>* changes) {
    changes->clear();
    // The change of folder is not examined: a failure shows when a file is opened.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    for (FileEntry& entry : lists.updates) {
        if (!ForeseeUpdate(entry, package, context, changes)) return;
    }
    for (const FileEntry& entry : lists.adds) {
        if (!ForeseeAdd(entry, package, context, changes)) return;
    }
    for (const FileEntry& entry : lists.deletes) {
        if (!ForeseeDelete(entry, context, changes)) return;
    }
}

ResultCode UpdateEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                       ApplyContext& context, DataBlockReader* block) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenOldFile;
    // One that went since fails its move to the backup, which is recorded
    // and finds nothing to undo.
    const bool exists = FoundOrExists(entry, paths);
    if (!exists && context.skipMissingSources == 1) {
        SendPath(context, EV_SOURCE_MISSING, paths.path);
        return SkipUpdateData(block, entry, context);
    }
    if (entry.alreadyUpdated == 1) {
        SendPath(context, EV_ALREADY_UPDATED, paths.path);
        return SkipUpdateData(block, entry, context);
    }
    SendPath(context, EV_UPDATING_FILE, paths.path);
    if (!exists) return result::kOldFileMissing;
    if (!DataInPackage(entry, package)) return result::kReadProgramFile;
    FolderBelow folder;
    FileHandle moved = kInvalidFile;
    ResultCode r = MoveToBackup(paths, package, context, folder, &moved);
    if (r != result::kSuccess) return r;
    BinaryFile oldFile(moved);
    r = Record(ChangeKind::kWrite, paths, package, context);
    if (r != result::kSuccess) return r;
    if (!oldFile.IsOpen() && oldFile.OpenRead(paths.backup, kShareNone, kAttributeNormal) != 0) {
        return result::kOpenOldFile;
    }
    // Created new: after the move nothing stands under the name, and
    // something that does (a link put there meanwhile) is never followed.
    FileHandle created = kInvalidFile;
    if (folder.Create(paths.path, kGenericWrite, kAttributeArchive, &created) != 0) {
        return NotCreated(context);
    }
    folder.Close();
    BinaryFile newFile;
    newFile.Adopt(created);
    MD5_CTX md5;
    MD5Init(&md5);
    MD5_CTX* const written = ChecksRebuiltFile(context) ? &md5 : nullptr;
    r = block != nullptr
            ? ApplyCompactUpdate(*block, entry, oldFile, newFile, context, written)
            : ApplyDeltaStream(programFile, package, entry, oldFile, newFile, context, written);
    // Best effort, like the attributes a new file gets on Windows.
    if (r == result::kSuccess) {
        BestEffort(Os().CopyAccessMode(oldFile.NativeHandle(), newFile.NativeHandle()));
    }
    if (r == result::kSuccess) r = SetWriteTime(newFile.NativeHandle(), entry);
    if (r == result::kSuccess) r = StartFlush(newFile.NativeHandle());
    newFile.Close();
    if (r == result::kSuccess && written != nullptr) r = CheckRebuiltFile(written, entry);
    return r;
}

ResultCode AddEntry(BinaryFile& programFile, const FileEntry& entry, PackageRef& package,
                    ApplyContext& context, DataBlockReader* block) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenNewFile;
    // The name as it stands: "*" and "?" in a record are no wildcards.
    const bool exists = Os().NameExists(paths.path);
    if (exists && entry.alreadyUpdated == 1) {
        SendPath(context, EV_ALREADY_ADDED, paths.path);
        return block != nullptr ? block->SkipAdd(entry.dataSize, context) : result::kSuccess;
    }
    // Any non-zero value allows the overwrite, as the verification accepts it.
    if (exists && context.overwriteExistingAdds == 0) {
        SendPath(context, EV_ADDING_FILE, paths.path);
        return result::kAddedFileExists;
    }
    SendPath(context, exists ? EV_OVERWRITING_NEW : EV_ADDING_FILE, paths.path);
    if (!DataInPackage(entry, package)) return result::kReadProgramFile;
    if (exists) {
        FolderBelow folder;
        const ResultCode r = MoveToBackup(paths, package, context, folder);
        if (r != result::kSuccess) return r;
    }
    // The folders made for the file are recorded too: the rollback removes
    // them when they are empty.
    const ResultCode r = CreateMissingFolders(paths.path, package, context);
    if (r != result::kSuccess) return r;
    return WriteAddedFile(programFile, entry, paths, exists, package, context, block);
}

ResultCode DeleteEntry(const FileEntry& entry, PackageRef& package, ApplyContext& context) {
    EntryPaths paths;
    if (!BeginOperation(entry, context, &paths)) return result::kOpenOldFile;
    const bool exists = FoundOrExists(entry, paths);
    if (!exists && context.skipMissingDeletes == 1) {
        SendPath(context, EV_DELETE_TARGET_MISSING, paths.path);
        return result::kSuccess;
    }
    SendPath(context, EV_DELETING_FILE, paths.path);
    if (!exists) return result::kOldFileMissing;
    Send(context, EV_FILE_PROGRESS, 0);
    FolderBelow folder;
    const ResultCode r = MoveToBackup(paths, package, context, folder);
    if (r != result::kSuccess) return r;
    Send(context, EV_FILE_PROGRESS, kProgressDone);
    return result::kSuccess;
}

}  // namespace pkx
