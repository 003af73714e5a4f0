// Undoing the changes a journal records: the rollback of a failed run and
// the recovery, at the next start, of a run that was cut short.
#pragma once

#include "core/apply_context.h"

namespace pkx {

// Told what the undoing did, file by file.
class UndoObserver {
  public:
    // The file is back from its backup.
    virtual void Restored(const char* path) = 0;
    // A file the run added is gone again.
    virtual void Removed(const char* path) = 0;
    // The file could not be restored; `backup` is where its old version is,
    // empty for an added file that could not be removed.
    virtual void NotRestored(const char* path, const char* backup) = 0;

  protected:
    ~UndoObserver() = default;
};

// Undoes, last first, the changes that the journal in `folder` records and
// removes the journal once every one is undone and durably so. Each step is
// judged from the names as they are, so an undoing cut short is simply done
// again by the next start. A committed journal (an update that
// completed, `*committed`) is only removed, unless `evenCommitted`. Returns
// 0, kRecoveryIncomplete when a file could not be restored (the journal
// stays), or kJournal when the journal cannot be read or marked.
ResultCode UndoJournal(const char* folder, bool evenCommitted, UndoObserver& observer,
                       bool* committed);

// Once a package's target folder is known: when a journal lies there that
// this run did not write, the installation is restored from it first, with
// events for the log. 0, kRecoveryIncomplete or kJournal.
ResultCode RecoverInterruptedUpdate(ApplyContext& context);

}  // namespace pkx
