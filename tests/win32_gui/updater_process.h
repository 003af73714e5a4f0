// One run of a self-extracting updater: started as its own process, its
// dialogs found and read, its exit code collected.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win32_gui/window_probe.h"

namespace pkx::gui {

class UpdaterProcess {
  public:
    UpdaterProcess() = default;
    UpdaterProcess(const UpdaterProcess&) = delete;
    UpdaterProcess& operator=(const UpdaterProcess&) = delete;
    // A process still running at the end of a test is ended.
    ~UpdaterProcess();

    // Starts `program` with `arguments` (may be empty) in `folder` (empty:
    // the driver's current folder). `suspended`: nothing runs until Resume.
    bool Start(const std::string& program, const std::string& arguments,
               const std::string& folder = "", bool suspended = false);
    void Resume();
    DWORD Pid() const { return pid_; }

    // Waits for the process to end; false on timeout.
    bool WaitForExit(DWORD* exitCode, DWORD timeout = kWaitMs);
    bool Running() const;

    // The progress dialog (the one holding the log), waited for.
    HWND ProgressDialog(DWORD timeout = kWaitMs);
    HWND Dialog(const std::string& title, DWORD timeout = kWaitMs) {
        return WaitForDialogTitled(pid_, title, timeout);
    }
    HWND MessageBox(const std::string& caption, DWORD timeout = kWaitMs) {
        return WaitForMessageBox(pid_, caption, timeout);
    }

    // The log's lines.
    std::vector<std::string> Log(HWND progress);
    // Waits until the run is over: button 2 reads Close and is enabled.
    bool WaitForRunEnd(HWND progress, DWORD timeout = kWaitMs);

  private:
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD pid_ = 0;
};

// Whether `needles` occur in `lines` in this order (other lines between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles);
bool Contains(const std::vector<std::string>& lines, const std::string& line);
// The lines as one text, for failure messages.
std::string Joined(const std::vector<std::string>& lines);

}  // namespace pkx::gui
