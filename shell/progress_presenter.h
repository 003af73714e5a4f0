// The progress dialog's behaviour: what each worker event, the Cancel command
// and the end of a run do to the view and to the installation's backups.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "shell/progress_view.h"

namespace pkx {

// Bytes put before the per-file lines of the old-version check: two
// Shift-JIS ideographic spaces and "--> ", whatever the text code page.
inline constexpr char kDetailPrefix[] = "\x81\x40\x81\x40--> ";
inline constexpr uint32_t kExpansionSize = 512;
inline constexpr uint32_t kLogLineLimit = 277;
inline constexpr uint32_t kWorkerWaitMilliseconds = 30000;
inline constexpr char kProgramTitle[] = "pkx Self Extract Updater";

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
    void Log(const char* text);
    void LogTemplate(uint32_t id, const char* value1 = nullptr, const char* value2 = nullptr);
    // A built-in text that no package replaces, with its values.
    void LogBuiltin(uint32_t id, const char* value = nullptr);
    void LogNotRestored(const char* path, const char* backup);
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
};

// "%d.%d%%" of a progress value in tenths of a percent.
void FormatPercent(uint32_t value, char* out, uint32_t size);

}  // namespace pkx
