// The Windows program's parts that a run from outside cannot reach: the
// string tables of pkxupdate.exe as built, the progress dialog driven by a
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

// Progress values the dialog's sink holds back reach the bars before the next
// event and before the end of the run.
TEST(ProgressDialogInProcessTest, ProgressValuesAreShownBeforeTheNextEventAndAtTheEnd) {
    auto context = PreparedContext();
    UiFont font;
    StandInWorker worker(true);
    int fileAtLog = -1, totalAtLog = -1, fileAtEnd = -1;
    std::string percentAtLog, percentAtEnd;
    std::vector<std::string> log;
    bool shown = false;
    RunDialog(
        *context, font, worker,
        [&](HWND dialog) {
            EventSink& events = *context->events;
            for (intptr_t value = 0; value <= 500; ++value) events.Send(EV_FILE_PROGRESS, value);
            events.Send(EV_TOTAL_PROGRESS, 250);
            events.Send(EV_SEPARATOR, 0);
            fileAtLog = BarPosition(dialog, PKX_ID_FILE_BAR);
            totalAtLog = BarPosition(dialog, PKX_ID_TOTAL_BAR);
            percentAtLog = ItemText(dialog, PKX_ID_FILE_PERCENT);
            events.Send(EV_FILE_PROGRESS, 999);
            events.Send(EV_FILE_PROGRESS, 1000);
            events.Post(EV_FINISHED, 0);
            WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); });
            fileAtEnd = BarPosition(dialog, PKX_ID_FILE_BAR);
            percentAtEnd = ItemText(dialog, PKX_ID_FILE_PERCENT);
            log = Lines(ItemText(dialog, PKX_ID_LOG));
            Click(dialog, IDCANCEL);
        },
        &shown);
    EXPECT_EQ(fileAtLog, 500);
    EXPECT_EQ(totalAtLog, 250);
    EXPECT_EQ(percentAtLog, "50.0%");
    EXPECT_EQ(fileAtEnd, 1000);
    EXPECT_EQ(percentAtEnd, "100.0%");
    EXPECT_EQ(log, (std::vector<std::string>{Text(1039), Text(1019)}));
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
