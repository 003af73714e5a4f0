#include "engine/backups.h"

#include <cstring>
#include <initializer_list>

#include "engine/folder_changes.h"
#include "engine/journal.h"
#include "support/paths.h"

namespace pkx {

namespace {

// Joins `parts` into `out` (kPathBufferSize bytes); false, with `out` empty,
// when the result would not fit.
bool Concatenate(std::initializer_list<const char*> parts, char* out) {
    size_t length = 0;
    for (const char* part : parts) length += std::strlen(part);
    out[0] = '\0';
    if (length >= kPathBufferSize) return false;
    char* end = out;
    for (const char* part : parts) {
        const size_t partLength = std::strlen(part);
        std::memcpy(end, part, partLength);
        end += partLength;
    }
    *end = '\0';
    return true;
}

void SetProgramFolderCurrent(const ApplyContext& context) {
    // Recorded paths are relative when the target folder is; they were
    // recorded against the program's folder.
    // As everywhere, the change of folder is not examined.
    if (context.programFolder[0] != '\0') BestEffort(Os().SetCurrentFolder(context.programFolder));
}

}  // namespace

// The one rule for creation, rollback and clean-up: the file's own folder (as
// SplitPath finds it, so a "/" in a record name separates folders here too)
// and "<base><ext>.<label>.old" with the invalid name characters replaced.
bool BuildBackupPath(const char* fullPath, const char* label, char* backupPath) {
    backupPath[0] = '\0';
    const size_t pathLength = std::strlen(fullPath);
    if (pathLength >= kPathBufferSize) return false;
    char drive[kPathBufferSize];
    char folder[kPathBufferSize];
    char baseName[kPathBufferSize];
    char extension[kPathBufferSize];
    SplitPath(fullPath, drive, folder, baseName, extension);
    // SplitPath shortens very long extensions; such a path cannot be rebuilt.
    const size_t splitLength =
        std::strlen(drive) + std::strlen(folder) + std::strlen(baseName) + std::strlen(extension);
    if (splitLength != pathLength) return false;

    char name[kPathBufferSize];
    if (!Concatenate({baseName, extension, ".", label, ".old"}, name)) return false;
    ReplaceInvalidNameChars(name, '_');
    return Concatenate({drive, folder, name}, backupPath);
}

void DeleteBackups(ApplyContext& context) {
    SetProgramFolderCurrent(context);
    // Cut short from here, the next start deletes them from the journals.
    BestEffort(MarkBackupsDeleted(context));
    const KeptFolders kept;
    for (const PackageRef& package : context.packages) {
        for (const std::string& path : package.backupPaths) {
            char backup[kPathBufferSize];
            if (!BuildBackupPath(path.c_str(), package.oldVersionLabel, backup)) continue;
            // A backup left behind harms nothing; one already gone fails the deletion.
            BestEffort(ChangeBelow(NameChange::kDelete, backup, package.folderLength));
        }
    }
}

}  // namespace pkx
