// Following a journal: the rollback of a failed run and the recovery, at the
// next start, of a run that was cut short.
#pragma once

#include "core/apply_context.h"
#include "engine/journal.h"

namespace pkx {

// Told what following a journal did, file by file.
class UndoObserver {
  public:
    // The file is back from its backup.
    virtual void Restored(const char* path) = 0;
    // A file or an empty folder the run added is gone again.
    virtual void Removed(const char* path) = 0;
    // The file could not be restored; `backup` is where its old version is,
    // empty for an added file that could not be removed.
    virtual void NotRestored(const char* path, const char* backup) = 0;
    // A backup that a completed run was to delete is deleted.
    virtual void BackupDeleted(const char* /*backup*/) {}

  protected:
    ~UndoObserver() = default;
};

// The journal in one folder, read and checked before anything is changed.
class FoundJournal {
  public:
    // Opens and reads the journal in `folder`. 0, or kJournal when it cannot
    // be opened or read, or is refused: refusal() says why, and link() names
    // the link a refused journal's file lies behind. Nothing has changed.
    ResultCode Open(const char* folder);

    bool committed() const { return contents_.committed; }
    JournalRefusal refusal() const { return refusal_; }
    const char* link() const { return link_; }

    // Undoes the changes it records, last first (a committed one only when
    // `evenCommitted`, once it is marked as taken back), or finishes a
    // committed one (its backups deleted, if they were to go); then removes
    // it once that is durable. Each step is judged from the names as they
    // are, so a following cut short is simply done again by the next start.
    // 0, kRecoveryIncomplete when a file could not be restored (the others
    // are undone all the same, and the journal stays), or kJournal.
    ResultCode Follow(bool evenCommitted, UndoObserver& observer);

  private:
    bool FullPath(uint32_t name, char* path) const;
    // kNone, or why the names cannot be followed in this folder.
    JournalRefusal CheckNames();
    ResultCode Finish(UndoObserver& observer);

    char folder_[kPathBufferSize] = {};
    char path_[kPathBufferSize] = {};
    char link_[kPathBufferSize] = {};
    BinaryFile file_;
    JournalContents contents_;
    JournalRefusal refusal_ = JournalRefusal::kNone;
};

// Once a package's target folder is known: when a journal lies there that
// this run did not write, the installation is restored from it first (or a
// completed update's is finished), with events for the log; a journal that
// is refused is named in the log with the reason and stays. 0,
// kRecoveryIncomplete or kJournal.
ResultCode RecoverInterruptedUpdate(ApplyContext& context);

}  // namespace pkx
