#include "shell/win32/prompt_dialogs.h"

#include <richedit.h>
#include <shlobj.h>

#include <cstring>

#include "engine/password_check.h"
#include "shell/progress_presenter.h"
#include "shell/win32/dialog_support.h"
#include "shell/win32/resource_ids.h"
#include "support/paths.h"
#include "texts/text_table.h"

namespace pkx::win32ui {

namespace {

// What a prompt's dialog procedure works on; its creation parameter.
struct PromptData {
    ApplyContext* context;
    HFONT font;
    const char* text;  // the notice text
};

PromptData& DataOf(HWND dialog) {
    return *reinterpret_cast<PromptData*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// Keeps the creation parameter; false for every message before WM_INITDIALOG.
bool Attach(HWND dialog, UINT message, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    return GetWindowLongPtrA(dialog, DWLP_USER) != 0;
}

void Inform(HWND dialog, const char* text) {
    MessageBoxA(dialog, text, kProgramTitle, MB_OK | MB_ICONINFORMATION);
}

bool IsCommand(WPARAM wParam, int id) { return LOWORD(wParam) == id && HIWORD(wParam) == 0; }

constexpr int kBaseDpi = 96;

// Font heights are pixels at 96 dots per inch; the program is DPI-aware
// (its manifest), so they grow with the screen's, as the dialog units do.
LONG ScaledToScreen(LONG height) {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return MulDiv(height, dpi, kBaseDpi);
}

INT_PTR CALLBACK NoticeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Attach(dialog, message, lParam)) return FALSE;
    PromptData& data = DataOf(dialog);
    const DisplayTexts& texts = data.context->texts;
    if (message == WM_INITDIALOG) {
        CenterWindow(dialog);
        static const int kFontIds[] = {PKX_ID_NOTICE_TEXT, IDOK};
        SetControlFont(dialog, data.font, kFontIds, 2);
        SetWindowTextA(dialog, texts[text::kNoticeTitle]);
        SetItemText(dialog, IDOK, texts[text::kCloseButton]);
        HWND text = GetDlgItem(dialog, PKX_ID_NOTICE_TEXT);
        // Notice texts have no length limit; the control's default is 32K.
        SendMessageA(text, EM_EXLIMITTEXT, 0, 0x7FFFFFFE);
        SetInsertionFormat(text, *data.context);
        SetWindowTextA(text, data.text);
        return TRUE;
    }
    // Only the button (or Enter) closes it; Escape is left unhandled.
    if (message == WM_COMMAND && IsCommand(wParam, IDOK)) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK PasswordProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Attach(dialog, message, lParam)) return FALSE;
    PromptData& data = DataOf(dialog);
    const DisplayTexts& texts = data.context->texts;
    if (message == WM_INITDIALOG) {
        CenterWindow(dialog);
        static const int kFontIds[] = {PKX_ID_PROMPT, PKX_ID_PASSWORD, IDOK, IDCANCEL};
        SetControlFont(dialog, data.font, kFontIds, 4);
        SetWindowTextA(dialog, texts[text::kPasswordTitle]);
        SetItemText(dialog, PKX_ID_PROMPT, texts[text::kPasswordPrompt]);
        SetItemText(dialog, IDOK, texts[text::kOkButton]);
        SetItemText(dialog, IDCANCEL, texts[text::kCancelButton]);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (IsCommand(wParam, IDOK)) {
        char password[kPathBufferSize] = {};
        GetDlgItemTextA(dialog, PKX_ID_PASSWORD, password, sizeof password);
        if (PasswordMatches(*data.context, password,
                            static_cast<uint32_t>(std::strlen(password)))) {
            EndDialog(dialog, 0);
        } else {
            Inform(dialog, texts[text::kPasswordMismatch]);
        }
        return TRUE;
    }
    if (IsCommand(wParam, IDCANCEL)) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

void OnFolderOk(HWND dialog, ApplyContext& context) {
    char* folder = context.targetFolder;
    GetDlgItemTextA(dialog, PKX_ID_FOLDER, folder, kPathBufferSize);
    if (folder[0] == '\0') {
        Inform(dialog, context.texts[text::kFolderEmpty]);
        return;
    }
    const size_t length = std::strlen(folder);
    if (folder[length - 1] == '\\') folder[length - 1] = '\0';
    // A relative folder is taken from the folder of the running program; the
    // change of folder is not examined, the existence test tells.
    BestEffort(Os().SetCurrentFolder(context.programFolder));
    if (FileExists(folder)) {
        EndDialog(dialog, 0);
    } else {
        Inform(dialog, context.texts[text::kFolderMissing]);
    }
}

void OnBrowse(HWND dialog, const ApplyContext& context) {
    char typed[kPathBufferSize] = {};
    char chosen[kPathBufferSize] = {};
    GetDlgItemTextA(dialog, PKX_ID_FOLDER, typed, sizeof typed);
    if (BrowseForFolder(dialog, context.texts[text::kFolderBrowseTitle], CSIDL_DESKTOP, chosen,
                        typed[0] != '\0' ? typed : nullptr) == 1) {
        SetItemText(dialog, PKX_ID_FOLDER, chosen);
    }
}

INT_PTR CALLBACK TargetFolderProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Attach(dialog, message, lParam)) return FALSE;
    PromptData& data = DataOf(dialog);
    ApplyContext& context = *data.context;
    if (message == WM_INITDIALOG) {
        if (context.targetFolder[0] != '\0') {
            SetItemText(dialog, PKX_ID_FOLDER, context.targetFolder);
        }
        static const int kFontIds[] = {PKX_ID_PROMPT, PKX_ID_FOLDER, PKX_ID_BROWSE, IDOK, IDCANCEL};
        SetControlFont(dialog, data.font, kFontIds, 5);
        SetWindowTextA(dialog, context.texts[text::kFolderTitle]);
        SetItemText(dialog, PKX_ID_PROMPT, context.texts[text::kFolderPrompt]);
        SetItemText(dialog, PKX_ID_BROWSE, context.texts[text::kBrowseButton]);
        SetItemText(dialog, IDOK, context.texts[text::kOkButton]);
        SetItemText(dialog, IDCANCEL, context.texts[text::kCancelButton]);
        CenterWindow(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    if (IsCommand(wParam, IDOK)) {
        OnFolderOk(dialog, context);
    } else if (IsCommand(wParam, IDCANCEL)) {
        EndDialog(dialog, 1);
    } else if (IsCommand(wParam, PKX_ID_BROWSE)) {
        OnBrowse(dialog, context);
    } else {
        return FALSE;
    }
    return TRUE;
}

// Opens the browser on the folder typed in the edit field.
int CALLBACK SelectInitialFolder(HWND browser, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED) SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

}  // namespace

bool DialogPrompter::Confirm(const char* text, const char* caption) {
    ShowWaitingEvents();
    return MessageBoxA(owner_, text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int DialogPrompter::Run(int templateId, DLGPROC procedure, ApplyContext& context,
                        const char* text) {
    ShowWaitingEvents();
    PromptData data = {&context, font_.Current(), text};
    const INT_PTR result = DialogBoxParamA(instance_, MAKEINTRESOURCEA(templateId), owner_,
                                           procedure, reinterpret_cast<LPARAM>(&data));
    // A dialog that could not be created is a refusal, never an acceptance.
    return result == 0 ? 0 : 1;
}

int DialogPrompter::AskPassword(ApplyContext& context) {
    return Run(PKX_DIALOG_PASSWORD, PasswordProc, context, nullptr);
}

int DialogPrompter::AskTargetFolder(ApplyContext& context) {
    return Run(PKX_DIALOG_TARGET_FOLDER, TargetFolderProc, context, nullptr);
}

void DialogPrompter::ShowNotice(ApplyContext& context, const char* text) {
    Run(PKX_DIALOG_NOTICE, NoticeProc, context, text);
}

void DialogPrompter::CreateUiFont(ApplyContext& context, bool fallback) {
    LOGFONTA description;
    ZeroMemory(&description, sizeof description);
    description.lfWeight = FW_NORMAL;
    description.lfCharSet = DEFAULT_CHARSET;
    description.lfQuality = PROOF_QUALITY;
    if (fallback) {
        // The worker has read the system code page again for this case.
        description.lfHeight = kDefaultFontHeight;
        std::strcpy(description.lfFaceName, systemCodePage == 932 ? "MS UI Gothic" : "Arial");
    } else {
        description.lfHeight = context.fontHeight;
        CopyFaceName(description.lfFaceName, context.fontFace, TextCodePage(context));
    }
    description.lfHeight = ScaledToScreen(description.lfHeight);
    font_.Replace(CreateFontIndirectA(&description));
}

int BrowseForFolder(HWND owner, const char* title, int root, char* path,
                    const char* initialFolder) {
    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || allocator == nullptr) return 0;
    LPITEMIDLIST rootItems = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(owner, root, &rootItems))) rootItems = nullptr;
    char displayName[MAX_PATH];
    BROWSEINFOA browse;
    ZeroMemory(&browse, sizeof browse);
    browse.hwndOwner = owner;
    browse.pidlRoot = rootItems;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    if (initialFolder != nullptr) {
        browse.lpfn = SelectInitialFolder;
        browse.lParam = reinterpret_cast<LPARAM>(initialFolder);
    }
    int chosen = 0;
    LPITEMIDLIST items = SHBrowseForFolderA(&browse);
    if (items != nullptr) {
        // The path is written only when the item is a file-system folder.
        chosen = SHGetPathFromIDListA(items, path) ? 1 : 0;
        allocator->Free(items);
    }
    if (rootItems != nullptr) allocator->Free(rootItems);
    allocator->Release();
    return chosen;
}

}  // namespace pkx::win32ui
