// The Windows program's parts that a run from outside cannot reach: the
// resources of pkxupdate.exe as built, the progress dialog driven by a
// stand-in worker in this process, and the font of the controls.
#include <windows.h>
// The control headers need windows.h first.
#include <commctrl.h>
#include <richedit.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "core/worker_events.h"
#include "shell/app_startup.h"
#include "shell/win32/progress_dialog.h"
#include "shell/win32/prompt_dialogs.h"
#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {
namespace {

using win32ui::kApplyEventMessage;
using win32ui::UiFont;

// ---------------------------------------------------------------------------
// Resources of the built program.

// One control of a dialog template: ID, class, style bits that must be set
// (and those that must not), position and size in dialog units.
struct ControlModel {
    int id;
    const char* className;
    DWORD styleSet;
    DWORD styleClear;
    short x, y, cx, cy;
};

struct DialogModel {
    int id;
    DWORD styleSet;
    DWORD styleClear;
    short cx, cy;
    std::vector<ControlModel> controls;
};

constexpr DWORD kPromptStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME;
constexpr DWORD kRichStyle =
    ES_MULTILINE | ES_READONLY | ES_NOHIDESEL | WS_VSCROLL | WS_HSCROLL | WS_BORDER;

const std::vector<DialogModel>& ExpectedDialogs() {
    static const std::vector<DialogModel> dialogs = {
        {PKX_DIALOG_PROGRESS,
         kPromptStyle | WS_SYSMENU | WS_MINIMIZEBOX,
         0,
         360,
         226,
         {{1010, "Edit", ES_READONLY | ES_AUTOHSCROLL, WS_BORDER, 7, 7, 346, 12},
          {1028, "Static", 0, 0, 7, 19, 29, 8},
          {1011, "Edit", ES_READONLY | ES_AUTOHSCROLL, WS_BORDER, 43, 19, 310, 12},
          {0xFFFF, "Static", SS_ETCHEDHORZ, 0, 7, 35, 346, 1},
          {1006, "Static", 0, 0, 7, 46, 346, 8},
          {1007, "msctls_progress32", PBS_SMOOTH, 0, 7, 56, 311, 11},
          {1014, "Static", 0, 0, 324, 57, 29, 8},
          {1008, "Static", 0, 0, 7, 75, 346, 8},
          {1009, "msctls_progress32", PBS_SMOOTH, 0, 7, 85, 311, 11},
          {1015, "Static", 0, 0, 324, 86, 29, 8},
          {IDCANCEL, "Button", BS_PUSHBUTTON, 0, 151, 106, 57, 14},
          {1029, "Static", 0, 0, 7, 131, 174, 8},
          {1019, "Button", BS_AUTOCHECKBOX, 0, 184, 130, 169, 10},
          {1016, "RichEdit20A", kRichStyle, 0, 7, 142, 346, 77}}},
        {PKX_DIALOG_TARGET_FOLDER,
         kPromptStyle,
         WS_SYSMENU,
         310,
         65,
         {{1026, "Static", 0, 0, 7, 8, 296, 8},
          {1003, "Edit", ES_AUTOHSCROLL | WS_BORDER, ES_PASSWORD, 7, 19, 243, 12},
          {1005, "Button", BS_PUSHBUTTON, 0, 253, 18, 50, 15},
          {IDOK, "Button", BS_DEFPUSHBUTTON, 0, 85, 44, 58, 14},
          {IDCANCEL, "Button", BS_PUSHBUTTON, 0, 167, 44, 57, 14}}},
        {PKX_DIALOG_PASSWORD,
         kPromptStyle,
         WS_SYSMENU,
         310,
         65,
         {{1026, "Static", 0, 0, 7, 7, 296, 8},
          {1017, "Edit", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER, 0, 7, 19, 296, 12},
          {IDOK, "Button", BS_DEFPUSHBUTTON, 0, 85, 44, 58, 14},
          {IDCANCEL, "Button", BS_PUSHBUTTON, 0, 167, 44, 57, 14}}},
        {PKX_DIALOG_NOTICE,
         kPromptStyle,
         WS_SYSMENU,
         339,
         169,
         {{1022, "RichEdit20A", kRichStyle, 0, 7, 7, 325, 134},
          {IDOK, "Button", BS_DEFPUSHBUTTON, 0, 141, 148, 57, 14}}},
    };
    return dialogs;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

// Reads a DLGTEMPLATE (the classic form windres writes for DIALOG).
class TemplateReader {
  public:
    explicit TemplateReader(const void* data) : at_(static_cast<const uint8_t*>(data)) {}

    DWORD Dword() {
        DWORD value;
        std::memcpy(&value, at_, 4);
        at_ += 4;
        return value;
    }
    WORD Word() {
        WORD value;
        std::memcpy(&value, at_, 2);
        at_ += 2;
        return value;
    }
    short Short() { return static_cast<short>(Word()); }
    // A string or, after 0xFFFF, an ordinal (returned as "#<n>").
    std::string NameOrOrdinal() {
        const WORD first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::wstring text;
        for (WORD c = first; c != 0; c = Word()) text += static_cast<wchar_t>(c);
        return Narrow(text);
    }
    std::wstring WideString() {
        std::wstring text;
        for (WORD c = Word(); c != 0; c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }
    void AlignToDword(const void* base) {
        const uintptr_t offset = static_cast<uintptr_t>(at_ - static_cast<const uint8_t*>(base));
        at_ += (4 - offset % 4) % 4;
    }
    void Skip(size_t count) { at_ += count; }

  private:
    static std::string Narrow(const std::wstring& text) {
        std::string out;
        for (wchar_t c : text) out += static_cast<char>(c);
        return out;
    }

    const uint8_t* at_;
};

// The predefined control classes by atom; class names in upper case, as
// they do not depend on case.
std::string ClassName(const std::string& nameOrOrdinal) {
    if (nameOrOrdinal == "#128") return "BUTTON";
    if (nameOrOrdinal == "#129") return "EDIT";
    if (nameOrOrdinal == "#130") return "STATIC";
    return Upper(nameOrOrdinal);
}

class BuiltProgram {
  public:
    BuiltProgram()
        : module_(LoadLibraryExA(Options().updater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~BuiltProgram() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    HMODULE module() const { return module_; }

  private:
    HMODULE module_;
};

void ExpectTemplate(HMODULE module, const DialogModel& expected) {
    SCOPED_TRACE("dialog " + std::to_string(expected.id));
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(expected.id), RT_DIALOG);
    ASSERT_NE(resource, nullptr);
    const void* base = LockResource(LoadResource(module, resource));
    ASSERT_NE(base, nullptr);
    TemplateReader read(base);
    const DWORD style = read.Dword();
    read.Dword();  // extended style
    const WORD count = read.Word();
    read.Short();
    read.Short();
    EXPECT_EQ(read.Short(), expected.cx);
    EXPECT_EQ(read.Short(), expected.cy);
    EXPECT_EQ(style & expected.styleSet, expected.styleSet);
    EXPECT_EQ(style & expected.styleClear, 0u);
    read.NameOrOrdinal();  // menu
    read.NameOrOrdinal();  // class
    read.WideString();     // title
    ASSERT_TRUE(style & DS_SETFONT);
    EXPECT_EQ(read.Word(), 9);
    // "ＭＳ Ｐゴシック"
    EXPECT_EQ(read.WideString(), std::wstring(L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF"));
    ASSERT_EQ(count, expected.controls.size());
    for (const ControlModel& control : expected.controls) {
        SCOPED_TRACE("control " + std::to_string(control.id));
        read.AlignToDword(base);
        const DWORD itemStyle = read.Dword();
        read.Dword();
        EXPECT_EQ(read.Short(), control.x);
        EXPECT_EQ(read.Short(), control.y);
        EXPECT_EQ(read.Short(), control.cx);
        EXPECT_EQ(read.Short(), control.cy);
        EXPECT_EQ(read.Word(), control.id);
        EXPECT_EQ(ClassName(read.NameOrOrdinal()), Upper(control.className));
        read.NameOrOrdinal();  // title
        read.Skip(read.Word());
        EXPECT_EQ(itemStyle & control.styleSet, control.styleSet);
        EXPECT_EQ(itemStyle & control.styleClear, 0u);
        if (std::string(control.className) == "Button") {
            EXPECT_EQ(itemStyle & BS_TYPEMASK, control.styleSet & BS_TYPEMASK);
        }
    }
}

TEST(ResourcesTest, TheDialogTemplatesHoldTheirControlsAndFont) {
    BuiltProgram program;
    ASSERT_NE(program.module(), nullptr) << GetLastError();
    for (const DialogModel& dialog : ExpectedDialogs()) ExpectTemplate(program.module(), dialog);
}

// String `id` of the string table of `language` in `module`, as UTF-16.
std::wstring TableString(HMODULE module, uint32_t id, WORD language) {
    HRSRC found =
        FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
    if (found == nullptr) return L"";
    const WCHAR* at = static_cast<const WCHAR*>(LockResource(LoadResource(module, found)));
    for (uint32_t i = 0; i < id % 16; ++i) at += 1 + *at;
    return std::wstring(at + 1, *at);
}

// Both tables hold every text, the English one in ASCII, whatever the user
// interface language.
TEST(ResourcesTest, TheStringTablesAndTheIconAreBuiltIn) {
    BuiltProgram program;
    ASSERT_NE(program.module(), nullptr);
    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    std::vector<uint32_t> ids = {100, 109, 110, 111, 209, 210, 211, 2069, 2070, 2071};
    for (uint32_t id = 1000; id <= 1073; ++id) ids.push_back(id);
    for (uint32_t id : ids) {
        EXPECT_FALSE(TableString(program.module(), id, japanese).empty()) << id;
        const std::wstring text = TableString(program.module(), id, english);
        EXPECT_FALSE(text.empty()) << id;
        for (wchar_t c : text) EXPECT_LT(c, 0x80) << id;
    }
    EXPECT_EQ(TableString(program.module(), 1008, japanese),
              L"%s \x30A2\x30C3\x30D7\x30C7\x30FC\x30BF(%s \x2192 %s)");
    EXPECT_EQ(TableString(program.module(), 1008, english), L"%s Updater (%s -> %s)");
    EXPECT_EQ(TableString(program.module(), 100, japanese), L"\x3000\x3000--> ");
    EXPECT_EQ(TableString(program.module(), 100, english), L"    --> ");
    for (WORD language : {japanese, english}) {
        EXPECT_EQ(TableString(program.module(), 209, language), L"[Error] Create thread.");
        EXPECT_EQ(TableString(program.module(), 2071, language), L"%s -> %s ... Apply.");
    }
    EXPECT_NE(FindResourceA(program.module(), MAKEINTRESOURCEA(PKX_ICON_PROGRAM), RT_GROUP_ICON),
              nullptr);
}

// ---------------------------------------------------------------------------
// The progress dialog in this process, with a stand-in worker.

constexpr char kFirstTitle[] = "pkx Self Extract Updater ver.1.50";

class StandInWorker final : public WorkerControl {
  public:
    explicit StandInWorker(bool starts) : starts_(starts) {}
    bool StartWorker() override { return starts_; }
    void FinishWorker(uint32_t) override { finished = true; }
    bool finished = false;

  private:
    bool starts_;
};

// Runs the dialog on this thread while `script` works it from another; the
// script must end the dialog.
void RunDialog(ApplyContext& context, UiFont& font, WorkerControl& worker,
               const std::function<void(HWND)>& script, bool* shown) {
    std::thread user([&] {
        HWND dialog = WaitForDialogTitled(GetCurrentProcessId(), kFirstTitle);
        if (dialog != nullptr) script(dialog);
    });
    *shown = win32ui::RunProgressDialog(GetModuleHandleA(nullptr), context, font, &worker);
    user.join();
}

std::unique_ptr<ApplyContext> PreparedContext() {
    auto context = std::make_unique<ApplyContext>();
    PrepareContext(*context, nullptr);
    return context;
}

TEST(ProgressDialogInProcessTest, AFailedWorkerStartIsLoggedAndTheDialogCanBeClosed) {
    LoadLibraryA("RICHED20.dll");
    auto context = PreparedContext();
    UiFont font;
    StandInWorker worker(false);
    std::vector<std::string> log;
    bool buttonEnabled = false;
    std::string buttonText;
    CHARFORMATA format;
    ZeroMemory(&format, sizeof format);
    bool shown = false;
    RunDialog(
        *context, font, worker,
        [&](HWND dialog) {
            WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); });
            buttonEnabled = ItemEnabled(dialog, IDCANCEL);
            buttonText = ItemText(dialog, IDCANCEL);
            log = Lines(ItemText(dialog, PKX_ID_LOG));
            // The log line's character format: 9 points in the table's face.
            SendDlgItemMessageA(dialog, PKX_ID_LOG, EM_SETSEL, 0, 4);
            format.cbSize = sizeof format;
            SendDlgItemMessageA(dialog, PKX_ID_LOG, EM_GETCHARFORMAT, SCF_SELECTION,
                                reinterpret_cast<LPARAM>(&format));
            Click(dialog, IDCANCEL);
        },
        &shown);
    EXPECT_TRUE(shown);
    EXPECT_EQ(format.yHeight, 180);
    EXPECT_STREQ(format.szFaceName, kDefaultFontFace);
    // The text, its own line break and the log's: an empty line follows.
    EXPECT_EQ(log, (std::vector<std::string>{ResourceText(GetACP() == 932 ? 109 : 209), ""}));
    EXPECT_TRUE(buttonEnabled);
    EXPECT_EQ(buttonText, Text(1002));
    EXPECT_EQ(ExitCode(*context), 255) << "a run that never started is no success";
}

// Sends one worker event as the worker does, and waits for it to be handled.
void SendEvent(HWND dialog, uint32_t code, intptr_t param = 0) {
    SendMessageA(dialog, kApplyEventMessage, code, param);
}

// The log (1016) takes the font too, but a RichEdit control does not answer
// WM_GETFONT with it.
bool EveryControlHolds(HWND dialog, HFONT font) {
    const int ids[] = {1010, 1028, 1011, 1006, 1008, 1029, 1019, IDCANCEL};
    for (int id : ids) {
        if (reinterpret_cast<HFONT>(SendDlgItemMessageA(dialog, id, WM_GETFONT, 0, 0)) != font) {
            return false;
        }
    }
    return true;
}

TEST(ProgressDialogInProcessTest, CancelCountsOnlyWhileTheButtonIsEnabled) {
    auto context = PreparedContext();
    UiFont font;
    StandInWorker worker(true);
    bool ignoredWhileDisabled = false;
    bool takenWhileEnabled = false;
    std::vector<std::string> log;
    bool shown = false;
    RunDialog(
        *context, font, worker,
        [&](HWND dialog) {
            // Escape and the close command arrive as this command.
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            Sleep(300);
            ignoredWhileDisabled = context->cancelRequested == 0 && !ItemEnabled(dialog, IDCANCEL);
            SendEvent(dialog, EV_READY);
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            takenWhileEnabled = WaitUntil(
                [&] { return context->cancelRequested == 1 && !ItemEnabled(dialog, IDCANCEL); });
            PostMessageA(dialog, kApplyEventMessage, EV_CANCELLED, 0);
            WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); });
            log = Lines(ItemText(dialog, PKX_ID_LOG));
            Click(dialog, IDCANCEL);
        },
        &shown);
    EXPECT_TRUE(ignoredWhileDisabled);
    EXPECT_TRUE(takenWhileEnabled);
    EXPECT_EQ(log, (std::vector<std::string>{Text(1017), Text(1018), Text(1021), Text(1023),
                                             Text(1024)}));
    EXPECT_TRUE(worker.finished);
    EXPECT_EQ(ExitCode(*context), 255);
}

TEST(ProgressDialogInProcessTest, APackagesFontReplacesThePreviousOneOnlyOnceApplied) {
    auto context = PreparedContext();
    UiFont font;
    StandInWorker worker(true);
    bool firstApplied = false;
    bool firstAliveUntilApplied = false;
    bool firstDeletedAfter = false;
    bool secondApplied = false;
    bool shown = false;
    RunDialog(
        *context, font, worker,
        [&](HWND dialog) {
            // As the worker does per package: a font, then EV_APPLY_TEXTS.
            context->prompts->CreateUiFont(*context, false);
            HFONT first = font.Current();
            SendEvent(dialog, EV_APPLY_TEXTS);
            firstApplied = first != nullptr && EveryControlHolds(dialog, first);
            context->prompts->CreateUiFont(*context, true);
            firstAliveUntilApplied = GetObjectType(first) == OBJ_FONT;
            SendEvent(dialog, EV_APPLY_TEXTS);
            firstDeletedAfter = GetObjectType(first) == 0;
            secondApplied = EveryControlHolds(dialog, font.Current());
            PostMessageA(dialog, kApplyEventMessage, EV_FINISHED, 0);
            WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); });
            Click(dialog, IDCANCEL);
        },
        &shown);
    EXPECT_TRUE(firstApplied);
    EXPECT_TRUE(firstAliveUntilApplied);
    EXPECT_TRUE(firstDeletedAfter);
    EXPECT_TRUE(secondApplied);
    EXPECT_EQ(ExitCode(*context), 0);
}

// ---------------------------------------------------------------------------
// The font itself.

LOGFONTA Describe(HFONT font) {
    LOGFONTA description;
    ZeroMemory(&description, sizeof description);
    GetObjectA(font, sizeof description, &description);
    return description;
}

TEST(UiFontTest, ThePackagesFaceAndHeightOrTheFallbackOfTheSystemCodePage) {
    UiFont font;
    win32ui::DialogPrompter prompter(GetModuleHandleA(nullptr), font);
    auto context = std::make_unique<ApplyContext>();
    context->textCodePage = 1252;
    context->fontHeight = 15;
    std::memset(context->fontFace, 'F', 40);  // longer than a face field holds
    prompter.CreateUiFont(*context, false);
    LOGFONTA described = Describe(font.Current());
    EXPECT_EQ(described.lfHeight, 15);
    EXPECT_EQ(std::string(described.lfFaceName), std::string(31, 'F'));
    EXPECT_EQ(described.lfWeight, FW_NORMAL);
    EXPECT_EQ(described.lfCharSet, DEFAULT_CHARSET);
    EXPECT_EQ(described.lfQuality, PROOF_QUALITY);

    const uint32_t saved = systemCodePage;
    systemCodePage = 932;
    prompter.CreateUiFont(*context, true);
    EXPECT_EQ(std::string(Describe(font.Current()).lfFaceName), "MS UI Gothic");
    EXPECT_EQ(Describe(font.Current()).lfHeight, 12);
    systemCodePage = 1252;
    prompter.CreateUiFont(*context, true);
    EXPECT_EQ(std::string(Describe(font.Current()).lfFaceName), "Arial");
    systemCodePage = saved;
}

TEST(UiFontTest, AFontNoControlEverTookIsDeletedWhenTheNextArrives) {
    UiFont font;
    HFONT first = CreateFontA(12, 0, 0, 0, 400, 0, 0, 0, 1, 0, 0, 2, 0, "Arial");
    HFONT second = CreateFontA(13, 0, 0, 0, 400, 0, 0, 0, 1, 0, 0, 2, 0, "Arial");
    HFONT third = CreateFontA(14, 0, 0, 0, 400, 0, 0, 0, 1, 0, 0, 2, 0, "Arial");
    font.Replace(first);
    font.ReleaseRetired();
    font.Replace(second);  // `first` is still held by the controls
    EXPECT_EQ(GetObjectType(first), static_cast<DWORD>(OBJ_FONT));
    font.Replace(third);  // `second` was never applied
    EXPECT_EQ(GetObjectType(second), 0u);
    EXPECT_EQ(GetObjectType(first), static_cast<DWORD>(OBJ_FONT));
    font.ReleaseRetired();
    EXPECT_EQ(GetObjectType(first), 0u);
    EXPECT_EQ(font.Current(), third);
    font.Reset();
    EXPECT_EQ(GetObjectType(third), 0u);
}

}  // namespace
}  // namespace pkx::gui
