// The write-ahead journal of an update. Every change the file operations
// make to an installation is recorded in it, and flushed, before it is made;
// a run cut short (the process killed, the power gone) leaves it behind, and
// the next start undoes what it names (engine/recovery.h). A successful run
// ends it with a commit entry once the new files are durable, and removes it
// when the backups have been dealt with. Its bytes: docs/journal.md.
#pragma once

#include <cstdint>
#include <vector>

#include "core/apply_context.h"

namespace pkx {

// The journal's name in the target folder.
inline constexpr char kJournalName[] = "pkx-update.journal";

// The journal's path in `folder`; false when it would not fit in 260 bytes.
bool BuildJournalPath(const char* folder, char* path);

// The names a run may change, and so the names a journal may give: inside
// the folder (IsNameInsideFolder), and not the journal's own.
bool IsRecordNameAllowed(const char* name);

// Records `planned`, the changes a package's records are expected to make,
// ahead of them and with one flush; the journal is created in the target
// folder first when the run has none. 0 or kJournal.
ResultCode PlanChanges(ApplyContext& context, const PackageRef& package,
                       std::vector<Change> planned);

// Makes sure that `change` is recorded and durable before it is made: it is
// the next planned change, or it is recorded now and the rest of the plan is
// declared void. 0 or kJournal.
ResultCode RecordChange(ApplyContext& context, const PackageRef& package, const Change& change);

// The change recorded last was not made after all: its file could not be
// created, so it was not this run's to undo. Declared void, durably. 0 or
// kJournal.
ResultCode VoidLastChange(ApplyContext& context);

// After the last change of a successful run: the new files and names made
// durable, then the commit entry. 0 (also without a journal, or when
// committed already) or kJournal.
ResultCode CommitJournal(ApplyContext& context);

// The backups of a committed run have been dealt with: the journal goes.
// A journal that is not committed stays for the rollback or the next start.
void EndJournal(ApplyContext& context);

// Closes the run's journal, which stays where it is, and forgets it.
void ForgetJournal(RunJournal& journal);

// What a journal says, entries after a torn or damaged one left out: they
// never reached the disk whole, so the changes they announce never began.
struct JournalContents {
    std::vector<Change> changes;  // made or planned, in order; full paths
    bool committed = false;
    uint32_t end = 0;  // offset after the last whole entry
};

// Reads the journal that lies in `folder` from `file` (open for reading,
// positioned anywhere). 0, or kJournal when it cannot be read or is of a
// later version.
ResultCode ReadJournal(BinaryFile& file, const char* folder, JournalContents* contents);

// Before a committed run is undone all the same: the entry that takes the
// commit back, written after the last whole entry and flushed. 0 or kJournal.
ResultCode WriteRollbackEntry(BinaryFile& file, JournalContents* contents);

}  // namespace pkx
