// Notifications from the worker to whatever shows the run, and the questions
// it asks. The engine never touches a window: the Windows dialog, the console
// and the tests each implement both interfaces.
#pragma once

#include <cstdint>

namespace pkx {

struct ApplyContext;

enum EventCode : uint32_t {
    EV_FINISHED = 0,
    EV_FAILED = 1,
    EV_CANCELLED = 2,
    EV_READY = 3,
    EV_HEADLINE = 4,
    EV_RIGHTS_TEXT = 5,
    EV_CHECK_OLD_MD5 = 6,
    EV_CHECK_OLD_DATE_SIZE = 7,
    EV_HASHING_FILE = 8,
    EV_READING_FILE_DATE = 9,
    EV_TARGET_FOLDER = 10,
    EV_UPDATING_FILE = 11,
    EV_FILE_PROGRESS = 12,
    EV_TOTAL_PROGRESS = 13,
    EV_ADDING_FILE = 14,
    EV_DELETING_FILE = 15,
    EV_CHECK_INTEGRITY = 17,
    EV_PROGRAM_RUNNING = 18,
    EV_CHECK_RUNNING = 19,
    EV_DELETE_DEFAULT = 20,
    EV_SOURCE_MISSING = 21,
    EV_OVERWRITING_NEW = 23,
    EV_SEPARATOR = 25,
    EV_DELETE_TARGET_MISSING = 27,
    EV_APPLY_TEXTS = 28,
    EV_TRY_NEXT_PACKAGE = 29,
    EV_PACKAGE_SUMMARY = 30,
    EV_ALREADY_UPDATED = 31,
    EV_ALREADY_ADDED = 33,
    // The journal of an interrupted update, found at the start (text: its path).
    EV_RECOVERY_FOUND = 40,
    // A file brought back from its backup by the recovery (text: its path).
    EV_RECOVERY_RESTORED = 41,
    // A file the interrupted update wrote, removed by the recovery (text: its path).
    EV_RECOVERY_REMOVED = 42,
    // A file that could not be restored (UnrestoredFile).
    EV_NOT_RESTORED = 43,
    // The installation is as before the interrupted update; its journal is gone.
    EV_RECOVERY_DONE = 44,
    // The interrupted update had completed; only its journal was left.
    EV_RECOVERY_COMPLETED = 45,
    // A journal found at the start that is not followed (RefusedJournal).
    EV_JOURNAL_REFUSED = 46,
    // A link on the way to a file to change (text: its path).
    EV_LINK_REFUSED = 47,
    // A backup that a completed update was to delete, deleted by the next
    // start (text: its path).
    EV_RECOVERY_BACKUP_DELETED = 48,
    // The target folder needs administrator rights that the program lacks;
    // the run ends before any change (text: the folder).
    EV_FOLDER_NEEDS_ADMINISTRATOR = 49,
    EV_SET_TITLE = 100,
};

// Why a journal is not followed.
enum class JournalRefusal : uint32_t {
    kNone,
    kOutsideNames,  // it names files outside its folder
    kDamaged,       // a bad entry, with more after it
    kLaterVersion,  // written by a later version of the updater
    kTooLarge,      // larger than any run writes
    kBehindLink,    // a file it names lies behind a link
};

// The parameter of EV_JOURNAL_REFUSED.
struct RefusedJournal {
    const char* path;
    JournalRefusal reason;
};

// The parameter of EV_NOT_RESTORED.
struct UnrestoredFile {
    const char* path;
    // Where its backup is; empty for a file that was added and could not be removed.
    const char* backup;
};

// Receives WM_APPLY_EVENT codes. `param` is 0, a number, the address of a
// NUL-terminated text, of a PackageRef, or a ResultCode, by code.
class EventSink {
  public:
    // Synchronous: returns when the receiver has handled the event. A
    // receiver may hold progress values (EV_FILE_PROGRESS, EV_TOTAL_PROGRESS)
    // back and show the latest later, but before any later event.
    virtual void Send(uint32_t code, intptr_t param) = 0;
    // Asynchronous: the final event of a run.
    virtual void Post(uint32_t code, intptr_t param) = 0;

  protected:
    ~EventSink() = default;
};

// The questions the worker asks, each modal.
class Prompter {
  public:
    // Yes/No confirmation; true for Yes.
    virtual bool Confirm(const char* text, const char* caption) = 0;
    // 0 when the typed password's digest matched `passwordDigest`, 1 when cancelled.
    virtual int AskPassword(ApplyContext& context) = 0;
    // 0 when the user confirmed an existing folder (then in `targetFolder`), 1 when cancelled.
    virtual int AskTargetFolder(ApplyContext& context) = 0;
    // Shows a NUL-terminated text until the user closes it.
    virtual void ShowNotice(ApplyContext& context, const char* text) = 0;
    // Makes the user-interface font for the controls. `fallback` is true when
    // the header could not be read: then the face depends on the system code page.
    virtual void CreateUiFont(ApplyContext& context, bool fallback) = 0;

  protected:
    ~Prompter() = default;
};

}  // namespace pkx
