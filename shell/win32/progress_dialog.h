// The progress dialog (template 102): the program's main window. It starts
// the worker thread, turns the worker's WM_APPLY_EVENT messages into what it
// shows (through the shared ProgressPresenter), lets the user cancel, and
// closes when the run is over.
#pragma once

#include <windows.h>

#include "core/apply_context.h"
#include "shell/progress_view.h"
#include "shell/win32/ui_font.h"

namespace pkx::win32ui {

// WM_APPLY_EVENT (WM_USER + 1000): the message that carries every worker
// event to the dialog; wParam is the event code, lParam its parameter.
inline constexpr UINT kApplyEventMessage = WM_USER + 1000;
// Shows the per-file events that wait in the dialog's queue; sent by the
// worker when the queue is full and before each of its questions.
inline constexpr UINT kShowWaitingMessage = WM_USER + 1001;

// Runs the dialog modally, owned by the desktop window, and returns once it
// has closed; false when it could not be created (no RichEdit class, for
// one). `worker` replaces the worker thread (tests); null runs RunWorker.
bool RunProgressDialog(HINSTANCE instance, ApplyContext& context, UiFont& font,
                       WorkerControl* worker = nullptr);

}  // namespace pkx::win32ui
