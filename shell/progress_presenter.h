// The progress dialog's behaviour: what each worker event, the Cancel command
// and the end of a run do to the view and to the installation's backups.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "core/worker_events.h"
#include "shell/progress_view.h"

namespace pkx {

inline constexpr uint32_t kExpansionSize = 512;
inline constexpr uint32_t kLogLineLimit = 277;
inline constexpr uint32_t kWorkerWaitMilliseconds = 30000;
inline constexpr char kProgramTitle[] = "pkx Self Extract Updater";

// Events that only add a line, or show a file's name that a display copies
// along: the worker need not wait while they are shown. They come once per
// file, so waiting for each is what makes a run of many small files slow.
inline bool ShowsOnlyALine(uint32_t code) {
    switch (code) {
        case EV_CHECK_OLD_MD5:
        case EV_CHECK_OLD_DATE_SIZE:
        case EV_HASHING_FILE:
        case EV_READING_FILE_DATE:
        case EV_UPDATING_FILE:
        case EV_ADDING_FILE:
        case EV_DELETING_FILE:
            return true;
        default:
            return false;
    }
}

// The worker's last event of a run: after it nothing more comes from the worker.
inline bool IsFinalEvent(uint32_t code) {
    return code == EV_FINISHED || code == EV_FAILED || code == EV_CANCELLED ||
           code == EV_PROGRAM_RUNNING;
}

class ProgressPresenter {
  public:
    ProgressPresenter(ApplyContext& context, ProgressView& view, WorkerControl& worker);

    // The dialog opens: title, bars, start-up texts, and the worker.
    void Initialize();
    // One worker event; returns true for every code, the ignored ones included.
    bool HandleEvent(uint32_t code, intptr_t param);
    // The Cancel button, Escape or the window's close command.
    void OnCancelCommand();

    bool WorkerRunning() const { return workerRunning_; }

  private:
    // The code page the table's texts are held in, for scans of them.
    uint32_t TableCodePage() const;
    void Log(const char* text);
    void LogTemplate(uint32_t id, const char* value1 = nullptr, const char* value2 = nullptr);
    // A template whose one value is a path, shown as the system writes paths.
    void LogPath(uint32_t id, const char* path);
    // A built-in text that no package replaces, with its path if it takes one.
    void LogBuiltin(uint32_t id, const char* path = nullptr);
    void LogNotRestored(const char* path, const char* backup);
    void LogRefusedJournal(const RefusedJournal& refused);
    void LogDetail(uint32_t id, const char* path);
    void ShowFileStart(uint32_t logId, uint32_t statusId, const char* path);
    void ApplyTexts();
    void LogFailure(ResultCode code);
    void RestoreSequence();
    void WaitSequence(bool finished);
    void OnFinalEvent(uint32_t code, intptr_t param);

    class RollbackLog;

    ApplyContext& context_;
    ProgressView& view_;
    WorkerControl& worker_;
    bool workerRunning_ = false;
    // Put before the per-file lines of the old-version check, from the table
    // in use: two ideographic spaces and "--> " in Japanese, four spaces and
    // "--> " in English.
    char detailPrefix_[16] = {};
};

// "%d.%d%%" of a progress value in tenths of a percent.
void FormatPercent(uint32_t value, char* out, uint32_t size);

// "pkx Self Extract Updater ver.1.50": the program's own title and version
// (`out` holds at least 64 bytes).
void FormatProgramTitle(char* out);

}  // namespace pkx
