// What the progress dialog and the prompts do alike: centring, the shared
// font, and the RichEdit character format of the log and the notice text.
#pragma once

#include <windows.h>

#include "core/apply_context.h"

namespace pkx::win32ui {

// Half the difference between screen and window size, truncated; size and
// Z order stay.
void CenterWindow(HWND window);

// WM_SETFONT with redraw on each listed control, in order.
void SetControlFont(HWND dialog, HFONT font, const int* ids, int count);

// SetDlgItemTextA, called from one place: every call of a system function
// from a place of its own costs the image a relocation.
void SetItemText(HWND dialog, int id, const char* text);

// The character format for text inserted at the selection: 9 points (180
// twips) in `fontFace`, cut to the 31 bytes a face field holds.
void SetInsertionFormat(HWND richEdit, const ApplyContext& context);

// The text code page, or the system's while no table is loaded.
uint32_t TextCodePage(const ApplyContext& context);

}  // namespace pkx::win32ui
