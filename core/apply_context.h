// The one record of a run, shared by the shell and the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/display_texts.h"
#include "core/result_code.h"
#include "core/worker_events.h"
#include "platform/platform.h"
#include "support/binary_file.h"

namespace pkx {

inline constexpr uint32_t kPathBufferSize = 260;

// One package's place in the program file and what applying it touched.
struct PackageRef {
    char oldVersionLabel[kPathBufferSize] = {};
    char newVersionLabel[kPathBufferSize] = {};
    uint32_t offset = 0;
    uint32_t size = 0;
    // 1: the records and their data lie in a data block (format version
    // 200); their data offsets are 0 and their data sizes the files' lengths.
    uint8_t compressed = 0;
    // Full paths of the installed files this package moved to backups or added.
    std::vector<std::string> backupPaths;
    // The length of the target folder that each of them starts with.
    uint32_t folderLength = 0;
    uint32_t applied = 0;
};

// 16 bytes identifying one version of a file: an MD5 digest, or
// {write time low, write time high, size, 0}.
struct CheckValue {
    uint8_t bytes[16] = {};
};

// One update, add or delete record.
struct FileEntry {
    char name[kPathBufferSize] = {};
    CheckValue oldCheckValue;
    CheckValue newCheckValue;
    FileTime writeTime;
    uint32_t dataOffset = 0;
    uint32_t dataSize = 0;
    uint32_t alreadyUpdated = 0;
    // The file of an update or deletion record was opened by the old-file
    // check, or an update's file found when its changes were foreseen:
    // until its own step, nothing of the run moves its name, so the
    // foresight and the step do not ask for it again.
    uint32_t foundThere = 0;
};

// A change to the installation, recorded in the journal before it is made.
enum class ChangeKind : uint8_t {
    kBackup = 'B',  // the file is moved to its backup
    kAdd = 'A',     // a file that was not there is created
    kWrite = 'W',   // the file, moved to its backup before, is written anew
    kFolder = 'F',  // a folder that was not there is created
};

struct Change {
    ChangeKind kind = ChangeKind::kAdd;
    char path[kPathBufferSize] = {};    // as the file operations name it; a folder without
                                        // its last separator
    char backup[kPathBufferSize] = {};  // for a backup and a write
};

// A folder whose names the run changed.
struct TouchedFolder {
    uint32_t digest = 0;  // of the path, compared before it
    char path[kPathBufferSize] = {};
};

// Adds the folder of `path` to `touched` unless it is there. A run of many
// files changes names in thousands of folders, mostly one after another.
void AddTouchedFolder(std::vector<TouchedFolder>& touched, const char* path);

// One journal of the run, in the target folder of the packages it records.
struct JournalFile {
    BinaryFile file;
    char folder[kPathBufferSize] = {};  // the target folder it lies in
    uint32_t size = 0;                  // the bytes of its whole entries
    uint32_t written = 0;               // change entries written
    uint32_t changes = 0;               // change entries in force, made or planned
    std::vector<Change> plan;           // recorded ahead; `nextPlanned` is the next to come
    size_t nextPlanned = 0;
    const PackageRef* package = nullptr;  // of the last package entry
    std::vector<TouchedFolder> touched;   // made durable before the commit
    bool deleteBackups = false;           // what its commit, or a later entry, says
};

// The run's write-ahead journals (engine/journal.h): one in each target
// folder the run changes, created there before the first change, kept until
// the backups are dealt with.
struct RunJournal {
    std::vector<std::unique_ptr<JournalFile>> files;  // in the order made
    bool committed = false;
    // A journal found at the start could not be undone: the installation is
    // not as it was, whatever this run's own rollback says.
    bool unrecovered = false;
};

struct ApplyContext {
    char programFolder[kPathBufferSize] = {};
    ResultCode result = 0;
    char programPath[kPathBufferSize] = {};
    char targetFolder[kPathBufferSize] = {};
    char title[kPathBufferSize] = {};
    char oldVersionLabel[kPathBufferSize] = {};
    char newVersionLabel[kPathBufferSize] = {};
    char rightsText[kPathBufferSize] = {};
    char openAfterName[kPathBufferSize] = {};
    uint8_t passwordDigest[16] = {};
    uint8_t deleteBackupsDefault = 0;
    uint32_t textCodePage = 0;
    char fontFace[kPathBufferSize] = {};
    int32_t fontHeight = 0;
    DisplayTexts texts;
    uint8_t hasNewCheckValues = 0;
    uint8_t skipMissingSources = 0;
    uint8_t overwriteExistingAdds = 0;
    uint8_t skipMissingDeletes = 0;
    // The current package's check mode: 0 when its check values are MD5 digests.
    uint8_t checkMode = 0;
    uint32_t multiPackage = 0;
    uint16_t packageCount = 0;
    std::vector<PackageRef> packages;
    RunJournal journal;
    // Where events go and who answers questions (the dialog, the console, a test).
    EventSink* events = nullptr;
    Prompter* prompts = nullptr;
    // The system the run works on, when it is handed one of its own (the
    // builder's proof); null: the process's. The worker binds it to its
    // thread; whoever hands one in binds it for the calls it makes itself.
    Platform* platform = nullptr;
    // Set once, 0 to 1, by the user-interface thread; polled by the worker.
    std::atomic<uint32_t> cancelRequested{0};
    uint32_t autoFinish = 0;
    uint32_t failed = 0;
};

// The system's ANSI code page, read at start-up and again for the fallback font.
extern uint32_t systemCodePage;

}  // namespace pkx
