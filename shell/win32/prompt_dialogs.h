// The worker's questions as modal dialogs and message boxes owned by the
// progress dialog: confirmation, password, target folder and notice texts.
// Every call runs on the worker thread.
#pragma once

#include <windows.h>

#include "core/apply_context.h"
#include "core/worker_events.h"
#include "shell/win32/progress_dialog.h"
#include "shell/win32/ui_font.h"

namespace pkx::win32ui {

class DialogPrompter final : public Prompter {
  public:
    DialogPrompter(HINSTANCE instance, UiFont& font) : instance_(instance), font_(font) {}

    // The progress dialog, owner of every prompt; set before the worker starts.
    void SetOwner(HWND owner) { owner_ = owner; }

    bool Confirm(const char* text, const char* caption) override;
    // A dialog that cannot be created counts as cancelled: a protected
    // package is never applied without its password.
    int AskPassword(ApplyContext& context) override;
    int AskTargetFolder(ApplyContext& context) override;
    void ShowNotice(ApplyContext& context, const char* text) override;
    void CreateUiFont(ApplyContext& context, bool fallback) override;

  private:
    // What the worker reported before a question is shown before it.
    void ShowWaitingEvents() { SendMessageA(owner_, kShowWaitingMessage, 0, 0); }
    int Run(int templateId, DLGPROC procedure, ApplyContext& context, const char* text);

    HINSTANCE instance_;
    UiFont& font_;
    HWND owner_ = nullptr;
};

// The shell's folder browser below the special folder `root`, opening on
// `initialFolder` when one is given. 1 with the chosen path in `path` (260
// bytes), 0 when none was chosen.
int BrowseForFolder(HWND owner, const char* title, int root, char* path, const char* initialFolder);

}  // namespace pkx::win32ui
