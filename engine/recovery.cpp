#include "engine/recovery.h"

#include <cstring>

#include "engine/journal.h"
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

// An added file is the run's own unless the name was freed for it by an
// earlier change whose backup is not there: then that change never reached
// the disk, or is undone already, and the file is the one from before.
bool AddedFileIsOurs(const std::vector<Change>& changes, size_t index) {
    const Change& added = changes[index];
    for (size_t i = index; i-- > 0;) {
        const Change& earlier = changes[i];
        if (earlier.kind == ChangeKind::kBackup && MayBeOneFile(earlier.path, added.path)) {
            return Os().NameExists(earlier.backup);
        }
    }
    return true;
}

UndoStep StepFor(const std::vector<Change>& changes, size_t index) {
    const Change& change = changes[index];
    switch (change.kind) {
        case ChangeKind::kWrite:
            // Written only after its backup was made: without the backup,
            // the file is still the old one.
            return Os().NameExists(change.backup) && Os().NameExists(change.path)
                       ? UndoStep::kDeleteFile
                       : UndoStep::kNothing;
        case ChangeKind::kAdd:
            return Os().NameExists(change.path) && AddedFileIsOurs(changes, index)
                       ? UndoStep::kDeleteFile
                       : UndoStep::kNothing;
        case ChangeKind::kBackup:
            if (!Os().NameExists(change.backup)) return UndoStep::kNothing;
            return Os().NameExists(change.path) ? UndoStep::kBlocked : UndoStep::kMoveBackBackup;
    }
    return UndoStep::kNothing;
}

class Undoing {
  public:
    Undoing(const std::vector<Change>& changes, UndoObserver& observer)
        : changes_(changes), observer_(observer) {}

    // 0 when every change is undone, and durably so.
    ResultCode Run() {
        bool complete = true;
        for (size_t i = changes_.size(); i-- > 0;) {
            const Change& change = changes_[i];
            const UndoStep step = StepFor(changes_, i);
            if (step == UndoStep::kBlocked) {
                observer_.NotRestored(change.path, change.backup);
                complete = false;
            } else if (step != UndoStep::kNothing) {
                complete = Perform(step, change) && complete;
                Touch(change.path);
            }
        }
        if (!complete) return result::kRecoveryIncomplete;
        // The journal may go only once nothing it undid can come back.
        for (const TouchedFolder& folder : touched_) {
            if (Os().FlushFolder(folder.path) != 0) return result::kJournal;
        }
        return result::kSuccess;
    }

  private:
    bool Perform(UndoStep step, const Change& change) {
        if (step == UndoStep::kMoveBackBackup) {
            if (Os().Move(change.backup, change.path) == 0) {
                observer_.Restored(change.path);
                return true;
            }
            observer_.NotRestored(change.path, change.backup);
            return false;
        }
        const bool deleted = Os().Delete(change.path) == 0;
        // A new file that stays is reported by its backup change, which then
        // finds the file in its way.
        if (change.kind == ChangeKind::kAdd) {
            if (deleted) {
                observer_.Removed(change.path);
            } else {
                observer_.NotRestored(change.path, "");
            }
        }
        return deleted;
    }

    void Touch(const char* path) {
        TouchedFolder folder;
        ParentFolder(path, folder.path);
        for (const TouchedFolder& touched : touched_) {
            if (std::strcmp(touched.path, folder.path) == 0) return;
        }
        touched_.push_back(folder);
    }

    const std::vector<Change>& changes_;
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

  private:
    ApplyContext& context_;
};

}  // namespace

ResultCode UndoJournal(const char* folder, bool evenCommitted, UndoObserver& observer,
                       bool* committed) {
    *committed = false;
    char path[kPathBufferSize];
    if (!BuildJournalPath(folder, path)) return result::kJournal;
    BinaryFile journal;
    if (journal.Open(path, kGenericRead | kGenericWrite, kShareNone, kOpenExisting,
                     kAttributeNormal) != 0) {
        return result::kJournal;
    }
    JournalContents contents;
    ResultCode r = ReadJournal(journal, folder, &contents);
    if (r != result::kSuccess) return r;
    *committed = contents.committed;
    if (contents.committed && evenCommitted) {
        r = WriteRollbackEntry(journal, &contents);
        if (r != result::kSuccess) return r;
    }
    if (!contents.committed) {
        r = Undoing(contents.changes, observer).Run();
        if (r != result::kSuccess) return r;
    }
    journal.Close();
    // Left behind, an undone journal only makes the next start look again.
    BestEffort(Os().Delete(path));
    return result::kSuccess;
}

ResultCode RecoverInterruptedUpdate(ApplyContext& context) {
    const RunJournal& own = context.journal;
    if (own.file.IsOpen() && std::strcmp(own.folder, context.targetFolder) == 0) {
        return result::kSuccess;
    }
    char path[kPathBufferSize];
    if (!BuildJournalPath(context.targetFolder, path)) return result::kSuccess;
    // Journals name their files as seen from the program's folder.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    if (!Os().NameExists(path)) return result::kSuccess;
    SendPath(context, EV_RECOVERY_FOUND, path);
    RecoveryEvents events(context);
    bool committed = false;
    const ResultCode r = UndoJournal(context.targetFolder, false, events, &committed);
    if (r != result::kSuccess) {
        context.journal.unrecovered = true;
        return r;
    }
    Send(context, committed ? EV_RECOVERY_COMPLETED : EV_RECOVERY_DONE, 0);
    return result::kSuccess;
}

}  // namespace pkx
