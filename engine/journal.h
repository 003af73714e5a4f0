// The write-ahead journals of an update. Every change the file operations
// make to an installation is recorded in the journal of its target folder,
// and flushed, before it is made; a run cut short (the process killed, the
// power gone) leaves it behind, and the next start undoes what it names
// (engine/recovery.h). A successful run ends each journal with a commit
// entry once the new files are durable, and removes it when the backups
// have been dealt with. Its bytes and rules: docs/journal.md.
#pragma once

#include <cstdint>
#include <vector>

#include "core/apply_context.h"

namespace pkx {

// The journal's name in the target folder.
inline constexpr char kJournalName[] = "pkx-update.journal";

// No run writes a longer journal (it stops before a change that would need
// one), and no longer one is read.
inline constexpr uint32_t kJournalSizeLimit = 32u << 20;

// The journal's path in `folder`; false when it would not fit in 260 bytes.
bool BuildJournalPath(const char* folder, char* path);

// The names a run may change, and so the names a journal may give: inside
// the folder (IsNameInsideFolder), and not the journal's own.
bool IsRecordNameAllowed(const char* name);

// Records `planned`, the changes a package's records are expected to make,
// ahead of them and with one write and one flush; the journal is created in
// the target folder first when the run has none there. 0 or kJournal.
ResultCode PlanChanges(ApplyContext& context, const PackageRef& package,
                       std::vector<Change> planned);

// Whether `change` is the next planned one: the journal names it already.
bool IsPlannedNext(ApplyContext& context, const Change& change);

// Makes sure that `change` is recorded and durable before it is made: it is
// the next planned change, or it is recorded now and the rest of the plan is
// declared void. 0 or kJournal.
ResultCode RecordChange(ApplyContext& context, const PackageRef& package, const Change& change);

// The change recorded last was not made after all: its file or folder could
// not be created, so it was not this run's to undo. Declared void, durably.
// 0 or kJournal.
ResultCode VoidLastChange(ApplyContext& context);

// After the last change of a successful run: the new files and names made
// durable, then the commit entry in each journal, with what the package
// says of its backups. 0 (also without a journal, or when committed
// already) or kJournal.
ResultCode CommitJournal(ApplyContext& context);

// The backups of a committed run are about to be deleted: each journal that
// says otherwise is told so first, so that a start after a cut finishes the
// deletion. 0 or kJournal.
ResultCode MarkBackupsDeleted(ApplyContext& context);

// The backups of a committed run have been dealt with: the journals go.
// Journals that are not committed stay for the rollback or the next start.
void EndJournal(ApplyContext& context);

// Closes the run's journals, which stay where they are, and forgets them.
void ForgetJournal(RunJournal& journal);

// One change a journal names; its names lie in the bytes of the contents.
struct JournalChange {
    ChangeKind kind = ChangeKind::kAdd;
    uint32_t path = 0;
    uint32_t backup = 0;  // for a backup and a write
};

// What a journal says. A torn last entry ends it: the changes it would
// announce never began.
struct JournalContents {
    // The journal as read, each name terminated where it lies (relative to
    // the journal's folder).
    std::vector<uint8_t> bytes;
    std::vector<JournalChange> changes;  // in force, made or planned, in order
    uint32_t written = 0;                // change entries read
    bool committed = false;
    bool deleteBackups = false;  // when committed: its backups are to go
    uint32_t end = 0;            // offset after the last whole entry

    const char* Name(uint32_t at) const { return reinterpret_cast<const char*>(bytes.data()) + at; }
};

// Reads the journal open in `file` (positioned anywhere). 0; kJournal when
// it cannot be read or is refused: `*refusal` then says why (kNone for a
// read that failed). Every name is checked with IsRecordNameAllowed, and a
// backup must lie beside its file.
ResultCode ReadJournal(BinaryFile& file, JournalContents* contents, JournalRefusal* refusal);

// Before a committed run is undone all the same: a torn tail cut off, then
// the entry that takes the commit back, flushed. 0 or kJournal.
ResultCode WriteRollbackEntry(BinaryFile& file, JournalContents* contents);

}  // namespace pkx
