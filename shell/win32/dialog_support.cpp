#include "shell/win32/dialog_support.h"

#include <richedit.h>

#include "texts/text_table.h"

namespace pkx::win32ui {

void CenterWindow(HWND window) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void SetControlFont(HWND dialog, HFONT font, const int* ids, int count) {
    for (int i = 0; i < count; ++i) {
        SendDlgItemMessageA(dialog, ids[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void SetItemText(HWND dialog, int id, const char* text) { SetDlgItemTextA(dialog, id, text); }

uint32_t TextCodePage(const ApplyContext& context) {
    return context.textCodePage != 0 ? context.textCodePage : systemCodePage;
}

void SetInsertionFormat(HWND richEdit, const ApplyContext& context) {
    CHARFORMATA format;
    ZeroMemory(&format, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = CFM_SIZE | CFM_FACE;
    format.yHeight = 180;
    CopyFaceName(format.szFaceName, context.fontFace, TextCodePage(context));
    SendMessageA(richEdit, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

}  // namespace pkx::win32ui
