// What the progress window shows, without any window: the Windows dialog and
// the console each implement this view; the presenter decides what goes in it.
#pragma once

#include <cstdint>

namespace pkx {

class ProgressView {
  public:
    virtual void SetWindowTitle(const char* text) = 0;
    virtual void SetHeadline(const char* text) = 0;
    virtual void SetRightsLabel(const char* text) = 0;
    virtual void SetRightsText(const char* text) = 0;
    virtual void SetStatus(const char* text) = 0;
    virtual void SetLogLabel(const char* text) = 0;
    // Per-file and overall bars, 0 to 1000, with their percentage texts
    // (a null text leaves the shown percentage as it is).
    virtual void SetFileProgress(uint32_t value, const char* percent) = 0;
    virtual void SetTotalProgress(uint32_t value, const char* percent) = 0;
    // One log line (at most 277 bytes, may itself hold CR LF); the view ends it.
    virtual void AppendLog(const char* line) = 0;
    // Button 2: Cancel while the worker runs, Close afterwards.
    virtual void SetButtonText(const char* text) = 0;
    virtual void EnableButton(bool enabled) = 0;
    // The delete-backups check box.
    virtual void SetCheckBoxText(const char* text) = 0;
    virtual void SetCheckBox(bool checked) = 0;
    virtual void EnableCheckBox(bool enabled) = 0;
    virtual bool IsCheckBoxChecked() = 0;
    virtual bool IsCheckBoxEnabled() = 0;
    // The controls take the package's user-interface font.
    virtual void ApplyFont() = 0;
    // The program file cannot be opened: hide and tell the user in a message box.
    virtual void ShowOpenFailure(const char* text, const char* caption) = 0;
    // Ends the dialog (the current event is still handled to its end).
    virtual void Close() = 0;

  protected:
    ~ProgressView() = default;
};

// Starting and awaiting the worker thread.
class WorkerControl {
  public:
    // Starts RunWorker on its own thread; false when it cannot be started.
    virtual bool StartWorker() = 0;
    // Waits up to `milliseconds` for the worker to end, then forgets it.
    virtual void FinishWorker(uint32_t milliseconds) = 0;

  protected:
    ~WorkerControl() = default;
};

}  // namespace pkx
