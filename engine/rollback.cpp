#include "engine/rollback.h"

#include <cstring>

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
    const bool recovered = !journal.unrecovered;
    if (!journal.file.IsOpen()) return recovered;
    char folder[kPathBufferSize];
    std::strcpy(folder, journal.folder);
    ForgetJournal(journal);
    SilentUndo silent;
    bool committed = false;
    // Asked for, the rollback undoes even a run that completed.
    const ResultCode r =
        UndoJournal(folder, true, observer != nullptr ? *observer : silent, &committed);
    return recovered && r == result::kSuccess;
}

}  // namespace pkx
