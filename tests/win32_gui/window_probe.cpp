#include "tests/win32_gui/window_probe.h"

#include <commctrl.h>

#include <cstdio>

#include "tests/win32_gui/driver_options.h"

namespace pkx::gui {

namespace {

constexpr UINT kSendTimeoutMs = 10000;
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kLogId = 1016;

LRESULT SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &result)) {
        return 0;
    }
    return static_cast<LRESULT>(result);
}

struct Search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window) && ClassOf(window) == "#32770") {
        search->found.push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK CollectVisible(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window)) search->found.push_back(window);
    return TRUE;
}

// The screen area of the visible windows of `pid`, with a margin.
bool AreaOf(DWORD pid, RECT* area) {
    Search search{pid, {}};
    EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&search));
    bool any = false;
    for (HWND window : search.found) {
        RECT rect;
        if (!GetWindowRect(window, &rect) || rect.right - rect.left < 20) continue;
        if (!any) {
            *area = rect;
        } else {
            UnionRect(area, area, &rect);
        }
        any = true;
    }
    if (!any) return false;
    InflateRect(area, 12, 12);
    area->left = area->left < 0 ? 0 : area->left;
    area->top = area->top < 0 ? 0 : area->top;
    return true;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeout) return false;
        Sleep(20);
    }
}

std::string TextOf(HWND window) {
    // RichEdit answers WM_GETTEXTLENGTH with 0 across processes, and
    // WM_GETTEXT with 0 when the text does not fit: grow the buffer until
    // the text fits (an empty log stays empty up to the largest buffer).
    const size_t kLargest = size_t{1} << 20;
    const bool rich = ClassOf(window).rfind("RichEdit", 0) == 0;
    const LRESULT length = SendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) * 2 + 4096, '\0');
    for (;;) {
        const LRESULT copied =
            SendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
        const bool fits = static_cast<size_t>(copied) + 1 < text.size() && (copied > 0 || !rich);
        if (fits || text.size() >= kLargest) {
            text.resize(fits ? static_cast<size_t>(copied) : 0);
            return text;
        }
        text.assign(text.size() * 2, '\0');
    }
}

std::string ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

bool ItemEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != 0; }

bool ItemChecked(HWND dialog, int id) {
    return SendWithTimeout(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool IsCentered(HWND window) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    return rect.left == (GetSystemMetrics(SM_CXSCREEN) - width) / 2 &&
           rect.top == (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
}

int BarPosition(HWND dialog, int id) {
    return static_cast<int>(SendWithTimeout(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0));
}

void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void SetItemText(HWND dialog, int id, const std::string& text) {
    SendWithTimeout(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void PressKey(HWND dialog, UINT key) {
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) &&
        info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    const UINT scan = MapVirtualKeyA(key, 0);
    PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

std::vector<HWND> DialogsOf(DWORD pid) {
    Search search{pid, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForDialog(DWORD pid, const std::function<bool(HWND)>& match, DWORD timeout) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND dialog : DialogsOf(pid)) {
                if (match(dialog)) {
                    found = dialog;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

HWND WaitForDialogTitled(DWORD pid, const std::string& title, DWORD timeout) {
    return WaitForDialog(
        pid, [&](HWND dialog) { return TextOf(dialog) == title; }, timeout);
}

HWND WaitForMessageBox(DWORD pid, const std::string& caption, DWORD timeout) {
    return WaitForDialog(
        pid,
        [&](HWND dialog) {
            // The progress dialog's separator line has the same ID.
            return TextOf(dialog) == caption && GetDlgItem(dialog, kMessageBoxTextId) != nullptr &&
                   GetDlgItem(dialog, kLogId) == nullptr;
        },
        timeout);
}

std::string MessageBoxText(HWND box) { return ItemText(box, kMessageBoxTextId); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

void Screenshot(const std::string& name, DWORD pid) {
    const DriverOptions& options = Options();
    if (options.screenshots.empty()) return;
    // Let the windows finish painting.
    Sleep(400);
    std::string crop;
    RECT area;
    if (pid != 0 && AreaOf(pid, &area)) {
        char geometry[64];
        std::snprintf(geometry, sizeof geometry, " -crop %ldx%ld+%ld+%ld +repage",
                      area.right - area.left, area.bottom - area.top, area.left, area.top);
        crop = geometry;
    }
    const std::string target = options.screenshotsUnix + "/" + name + ".png";
    const std::string part = target + ".part";
    // Wine starts Unix programs too; the rename tells that the file is complete.
    std::string command = "/bin/sh -c \"import -window root" + crop + " png:" + part + " && mv " +
                          part + " " + target + "\"";
    const std::string done = options.screenshots + "\\" + name + ".png";
    DeleteFileA(done.c_str());
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "screenshot %s: cannot start import (%lu)\n", name.c_str(),
                     GetLastError());
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!WaitUntil([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; },
                   15000)) {
        std::fprintf(stderr, "screenshot %s: not written\n", name.c_str());
    }
}

}  // namespace pkx::gui
