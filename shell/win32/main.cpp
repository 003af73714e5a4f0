// pkxupdate.exe: the self-extracting updater as a Windows program.
#include <windows.h>
// windows.h first: the others rely on its types.
#include <commctrl.h>
#include <shellapi.h>
#include <stdlib.h>

#include "core/apply_context.h"
#include "shell/app_startup.h"
#include "shell/progress_presenter.h"
#include "shell/win32/progress_dialog.h"
#include "shell/win32/ui_font.h"

namespace {

// The one record of the run; the worker gets its address.
pkx::ApplyContext g_context;

// The shell opens the package's document in the updated installation.
void OpenDocument(const pkx::ApplyContext& context) {
    char document[2 * pkx::kPathBufferSize];
    if (!pkx::DocumentToOpen(context, document, sizeof document)) return;
    ShellExecuteA(GetDesktopWindow(), "open", document, "", context.targetFolder, SW_SHOW);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The log and the notice text are RichEdit 2.0 controls ("RichEdit20A").
    HMODULE richEdit = LoadLibraryA("RICHED20.dll");
    InitCommonControls();  // the progress bars
    pkx::PrepareContext(g_context, __argc > 1 ? __argv[1] : nullptr);
    pkx::win32ui::UiFont font;
    // Without the dialog nothing is applied: never report that as a success.
    if (richEdit == nullptr) {
        MessageBoxA(nullptr, "RICHED20.dll", pkx::kProgramTitle, MB_OK | MB_ICONEXCLAMATION);
        g_context.failed = 1;
    } else if (!pkx::win32ui::RunProgressDialog(instance, g_context, font)) {
        g_context.failed = 1;
    }
    OpenDocument(g_context);
    font.Reset();
    if (richEdit != nullptr) FreeLibrary(richEdit);
    return pkx::ExitCode(g_context);
}
