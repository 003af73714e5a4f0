// Finding and working the windows of another process as a user would:
// texts are read with WM_GETTEXT, buttons pressed with BM_CLICK, fields
// filled with WM_SETTEXT and keys posted to the control that has the focus.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace pkx::gui {

// How long a test waits for something the updater should do.
inline constexpr DWORD kWaitMs = 30000;

// Polls `condition` every 20 ms until it holds or `timeout` ms have passed.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeout = kWaitMs);

std::string TextOf(HWND window);
std::string ItemText(HWND dialog, int id);
std::string ClassOf(HWND window);
bool ItemEnabled(HWND dialog, int id);
bool ItemChecked(HWND dialog, int id);
// Whether the window sits in the middle of the screen (half the difference
// of the sizes, truncated).
bool IsCentered(HWND window);
// Position of a progress bar.
int BarPosition(HWND dialog, int id);

// Posts BM_CLICK: the press is handled by the dialog's own thread, and the
// caller does not wait for what it opens.
void Click(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::string& text);
// Posts a key press to the control that has the focus in `dialog`'s thread,
// where the dialog's message loop sees it as typed.
void PressKey(HWND dialog, UINT key);

// Visible top-level dialog windows (#32770) of process `pid`.
std::vector<HWND> DialogsOf(DWORD pid);
// The first such dialog for which `match` holds, waited for; null on timeout.
HWND WaitForDialog(DWORD pid, const std::function<bool(HWND)>& match, DWORD timeout = kWaitMs);
HWND WaitForDialogTitled(DWORD pid, const std::string& title, DWORD timeout = kWaitMs);
// A message box: the title, and its text in the static control 0xFFFF.
HWND WaitForMessageBox(DWORD pid, const std::string& caption, DWORD timeout = kWaitMs);
std::string MessageBoxText(HWND box);

// The lines of a multi-line text (CR LF, CR or LF), without the empty last one.
std::vector<std::string> Lines(const std::string& text);

// A PNG of the screen, cropped to the visible windows of `pid` (all of it
// when pid is 0), as <screenshots>/<name>.png; nothing when no folder is set.
void Screenshot(const std::string& name, DWORD pid = 0);

}  // namespace pkx::gui
