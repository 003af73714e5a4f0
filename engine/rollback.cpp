#include "engine/rollback.h"

#include "engine/journal.h"

namespace pkx {

namespace {

class SilentUndo final : public UndoObserver {
  public:
    void Restored(const char*) override {}
    void Removed(const char*) override {}
    void NotRestored(const char*, const char*) override {}
};

}  // namespace

bool RestoreBackups(ApplyContext& context, UndoObserver* observer) {
    // A relative target folder is taken against the program's folder, as
    // when the changes were made; a failure shows as files not restored.
    if (context.programFolder[0] != '\0') BestEffort(Os().SetCurrentFolder(context.programFolder));
    RunJournal& journal = context.journal;
    bool restored = !journal.unrecovered;
    // Each journal is closed before it is read again; the last made goes first.
    for (const auto& file : journal.files) file->file.Close();
    SilentUndo silent;
    for (size_t i = journal.files.size(); i-- > 0;) {
        FoundJournal found;
        ResultCode r = found.Open(journal.files[i]->folder);
        // Asked for, the rollback undoes even a run that completed.
        if (r == result::kSuccess) r = found.Follow(true, observer != nullptr ? *observer : silent);
        restored = restored && r == result::kSuccess;
    }
    ForgetJournal(journal);
    return restored;
}

}  // namespace pkx
