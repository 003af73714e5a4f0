#include "engine/recovery.h"

#include <cstring>

#include "engine/folder_changes.h"
#include "support/paths.h"

namespace pkx {

namespace {

// What undoing one change takes, judged from the names as they are, so that
// undoing again what is undone already, or what was announced but never
// made, changes nothing: a crash while undoing needs no record of progress.
// The journal lists changes before they are made, and a backup name that was
// taken already is never announced, so a backup that exists is the one its
// change made.
enum class UndoStep {
    kNothing,
    kDeleteFile,      // the new, partial or added file goes
    kMoveBackBackup,  // the backup comes back under the file's name
    kRemoveFolder,    // a folder the run made goes, when it is empty
    kBlocked,         // the backup cannot come back: a file is in its place
};

char Folded(char c) {
    if (c == '/') return '\\';
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether two names may be one file: Windows names ignore case, and records
// may spell a separator either way. Taking two names for one only keeps a
// file that could have gone; taking one for two would delete an old file.
bool MayBeOneFile(const char* a, const char* b) {
    for (; Folded(*a) == Folded(*b); ++a, ++b) {
        if (*a == '\0') return true;
    }
    return false;
}

// The full paths of one change.
struct ChangePaths {
    char path[kPathBufferSize];
    char backup[kPathBufferSize];
};

class Undoing {
  public:
    Undoing(const JournalContents& contents, const char* folder, UndoObserver& observer)
        : contents_(contents),
          folder_(folder),
          trusted_(std::strlen(folder)),
          observer_(observer) {}

    // 0 when every change is undone, and durably so.
    ResultCode Run() {
        bool complete = true;
        for (size_t i = contents_.changes.size(); i-- > 0;) {
            ChangePaths paths;
            Paths(contents_.changes[i], &paths);
            const UndoStep step = StepFor(i, paths);
            if (step == UndoStep::kBlocked) {
                observer_.NotRestored(paths.path, paths.backup);
                complete = false;
            } else if (step != UndoStep::kNothing) {
                complete = Perform(step, contents_.changes[i].kind, paths) && complete;
                Touch(paths.path);
            }
        }
        if (!complete) return result::kRecoveryIncomplete;
        return FlushTouched();
    }

    // A committed run's backups, deleted as it was to do. Best effort: a
    // backup left behind harms nothing.
    ResultCode DeleteBackups() {
        for (const JournalChange& change : contents_.changes) {
            if (change.kind != ChangeKind::kBackup) continue;
            ChangePaths paths;
            Paths(change, &paths);
            if (!Os().NameExists(paths.backup) ||
                ChangeBelow(NameChange::kDelete, paths.backup, trusted_) != 0)
                continue;
            observer_.BackupDeleted(paths.backup);
            Touch(paths.backup);
        }
        return FlushTouched();
    }

  private:
    // The names were checked to fit with the folder (FoundJournal::Open).
    void Paths(const JournalChange& change, ChangePaths* paths) const {
        BestEffort(BuildFullPath(folder_, contents_.Name(change.path), paths->path));
        paths->backup[0] = '\0';
        if (change.kind == ChangeKind::kBackup || change.kind == ChangeKind::kWrite) {
            BestEffort(BuildFullPath(folder_, contents_.Name(change.backup), paths->backup));
        }
    }

    // An added file is the run's own unless the name was freed for it by an
    // earlier change whose backup is not there: then that change never
    // reached the disk, or is undone already, and the file is the one from
    // before.
    bool AddedFileIsOurs(size_t index) const {
        const char* added = contents_.Name(contents_.changes[index].path);
        for (size_t i = index; i-- > 0;) {
            const JournalChange& earlier = contents_.changes[i];
            if (earlier.kind == ChangeKind::kBackup &&
                MayBeOneFile(contents_.Name(earlier.path), added)) {
                ChangePaths paths;
                Paths(earlier, &paths);
                return Os().NameExists(paths.backup);
            }
        }
        return true;
    }

    UndoStep StepFor(size_t index, const ChangePaths& paths) const {
        switch (contents_.changes[index].kind) {
            case ChangeKind::kWrite:
                // Written only after its backup was made: without the backup,
                // the file is still the old one.
                return Os().NameExists(paths.backup) && Os().NameExists(paths.path)
                           ? UndoStep::kDeleteFile
                           : UndoStep::kNothing;
            case ChangeKind::kAdd:
                return Os().NameExists(paths.path) && AddedFileIsOurs(index) ? UndoStep::kDeleteFile
                                                                             : UndoStep::kNothing;
            case ChangeKind::kBackup:
                if (!Os().NameExists(paths.backup)) return UndoStep::kNothing;
                return Os().NameExists(paths.path) ? UndoStep::kBlocked : UndoStep::kMoveBackBackup;
            case ChangeKind::kFolder:
                return Os().NameExists(paths.path) ? UndoStep::kRemoveFolder : UndoStep::kNothing;
        }
        return UndoStep::kNothing;
    }

    bool Perform(UndoStep step, ChangeKind kind, const ChangePaths& paths) {
        if (step == UndoStep::kMoveBackBackup) {
            if (MoveBelow(paths.backup, paths.path, trusted_) == 0) {
                observer_.Restored(paths.path);
                return true;
            }
            observer_.NotRestored(paths.path, paths.backup);
            return false;
        }
        // A folder that is not empty (a file in it could not be removed, or
        // was put there since) stays, as it is no file of the old version.
        if (step == UndoStep::kRemoveFolder) {
            if (ChangeBelow(NameChange::kRemoveFolder, paths.path, trusted_) == 0)
                observer_.Removed(paths.path);
            return true;
        }
        const bool deleted = ChangeBelow(NameChange::kDelete, paths.path, trusted_) == 0;
        // A new file that stays is reported by its backup change, which then
        // finds the file in its way.
        if (kind == ChangeKind::kAdd) {
            if (deleted) {
                observer_.Removed(paths.path);
            } else {
                observer_.NotRestored(paths.path, "");
            }
        }
        return deleted;
    }

    void Touch(const char* path) { AddTouchedFolder(touched_, path); }

    // The journal may go only once nothing it undid can come back. A folder
    // that went is made durable by its parent's flush.
    ResultCode FlushTouched() const {
        for (const TouchedFolder& folder : touched_) {
            if (Os().FlushFolder(folder.path) != 0 && Os().NameExists(folder.path)) {
                return result::kJournal;
            }
        }
        return result::kSuccess;
    }

    const JournalContents& contents_;
    const char* folder_;
    size_t trusted_;
    UndoObserver& observer_;
    std::vector<TouchedFolder> touched_;
};

void Send(ApplyContext& context, uint32_t code, intptr_t param) {
    if (context.events != nullptr) context.events->Send(code, param);
}

void SendPath(ApplyContext& context, uint32_t code, const char* path) {
    Send(context, code, reinterpret_cast<intptr_t>(path));
}

// The recovery's log: one event per file.
class RecoveryEvents final : public UndoObserver {
  public:
    explicit RecoveryEvents(ApplyContext& context) : context_(context) {}

    void Restored(const char* path) override { SendPath(context_, EV_RECOVERY_RESTORED, path); }
    void Removed(const char* path) override { SendPath(context_, EV_RECOVERY_REMOVED, path); }
    void NotRestored(const char* path, const char* backup) override {
        const UnrestoredFile file{path, backup};
        Send(context_, EV_NOT_RESTORED, reinterpret_cast<intptr_t>(&file));
    }
    void BackupDeleted(const char* backup) override {
        SendPath(context_, EV_RECOVERY_BACKUP_DELETED, backup);
    }

  private:
    ApplyContext& context_;
};

}  // namespace

bool FoundJournal::FullPath(uint32_t name, char* path) const {
    return BuildFullPath(folder_, contents_.Name(name), path);
}

// Every name must fit with the folder, as the run's own did, and lie behind
// no link below it.
JournalRefusal FoundJournal::CheckNames() {
    const size_t trusted = std::strlen(folder_);
    for (const JournalChange& change : contents_.changes) {
        char path[kPathBufferSize];
        if (!FullPath(change.path, path)) return JournalRefusal::kOutsideNames;
        if (change.kind == ChangeKind::kBackup || change.kind == ChangeKind::kWrite) {
            char backup[kPathBufferSize];
            if (!FullPath(change.backup, backup)) return JournalRefusal::kOutsideNames;
        }
        if (FindLinkOnTheWay(path, trusted, link_)) return JournalRefusal::kBehindLink;
    }
    return JournalRefusal::kNone;
}

ResultCode FoundJournal::Open(const char* folder) {
    if (std::strlen(folder) >= sizeof folder_ || !BuildJournalPath(folder, path_)) {
        return result::kJournal;
    }
    std::strcpy(folder_, folder);
    const uint32_t opened = file_.Open(path_, kGenericRead | kGenericWrite, kShareNone,
                                       kOpenExisting, kAttributeNormal | kOpenLinkItself);
    if (opened == win32err::kStoppedOnLink) {
        refusal_ = JournalRefusal::kBehindLink;  // the journal is a link itself
        std::strcpy(link_, path_);
    }
    if (opened != 0) return result::kJournal;
    const ResultCode r = ReadJournal(file_, &contents_, &refusal_);
    if (r != result::kSuccess) return r;
    refusal_ = CheckNames();
    return refusal_ == JournalRefusal::kNone ? result::kSuccess : result::kJournal;
}

ResultCode FoundJournal::Follow(bool evenCommitted, UndoObserver& observer) {
    if (contents_.committed && evenCommitted) {
        const ResultCode r = WriteRollbackEntry(file_, &contents_);
        if (r != result::kSuccess) return r;
    }
    Undoing undoing(contents_, folder_, observer);
    ResultCode r = contents_.committed ? result::kSuccess : undoing.Run();
    if (r == result::kSuccess && contents_.committed && contents_.deleteBackups) {
        r = undoing.DeleteBackups();
    }
    if (r != result::kSuccess) return r;
    file_.Close();
    // Left behind, a followed journal only makes the next start look again.
    BestEffort(ChangeBelow(NameChange::kDelete, path_, std::strlen(folder_)));
    return result::kSuccess;
}

ResultCode RecoverInterruptedUpdate(ApplyContext& context) {
    for (const auto& own : context.journal.files) {
        if (std::strcmp(own->folder, context.targetFolder) == 0) return result::kSuccess;
    }
    char path[kPathBufferSize];
    if (!BuildJournalPath(context.targetFolder, path)) return result::kSuccess;
    // Journals name their files as seen from the program's folder.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    if (!Os().NameExists(path)) return result::kSuccess;
    FoundJournal found;
    ResultCode r = found.Open(context.targetFolder);
    if (r != result::kSuccess) {
        // Nothing was tried: the installation is as this run found it.
        if (found.refusal() == JournalRefusal::kBehindLink) {
            SendPath(context, EV_LINK_REFUSED, found.link());
        }
        if (found.refusal() != JournalRefusal::kNone) {
            const RefusedJournal refused{path, found.refusal()};
            Send(context, EV_JOURNAL_REFUSED, reinterpret_cast<intptr_t>(&refused));
        }
        return r;
    }
    SendPath(context, EV_RECOVERY_FOUND, path);
    RecoveryEvents events(context);
    r = found.Follow(false, events);
    if (r != result::kSuccess) {
        context.journal.unrecovered = true;
        return r;
    }
    Send(context, found.committed() ? EV_RECOVERY_COMPLETED : EV_RECOVERY_DONE, 0);
    return result::kSuccess;
}

}  // namespace pkx
