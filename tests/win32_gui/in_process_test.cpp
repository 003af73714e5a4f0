// The Windows program's parts that a run from outside cannot reach: the
// string tables of pkxupdate.exe as built, the progress dialog driven by a
// stand-in worker in this process, and the font of the controls.
#include <windows.h>
// The control headers need windows.h first.
#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "core/worker_events.h"
#include "shell/app_startup.h"
#include "shell/win32/progress_dialog.h"
#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {
namespace {

using win32ui::kApplyEventMessage;
using win32ui::UiFont;

// Resources of the built program.

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
// interface language. (What the texts say is checked where they are shown.)
TEST(ResourcesTest, TheStringTablesAndTheIconAreBuiltIn) {
    HMODULE program = LoadLibraryExA(Options().updater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    std::vector<uint32_t> ids = {100, 109, 110, 111, 209, 210, 211, 2069, 2070, 2071};
    for (uint32_t id = 1000; id <= 1073; ++id) ids.push_back(id);
    for (uint32_t id : ids) {
        EXPECT_FALSE(TableString(program, id, japanese).empty()) << id;
        const std::wstring text = TableString(program, id, english);
        EXPECT_FALSE(text.empty()) << id;
        for (wchar_t c : text) EXPECT_LT(c, 0x80) << id;
    }
    EXPECT_NE(FindResourceA(program, MAKEINTRESOURCEA(PKX_ICON_PROGRAM), RT_GROUP_ICON), nullptr);
    FreeLibrary(program);
}

// The progress dialog in this process, with a stand-in worker.

class ProgressDialogInProcessTest : public testing::Test, public WorkerControl {
  protected:
    void SetUp() override {
        LoadLibraryA("RICHED20.dll");
        PrepareContext(context_, nullptr);
    }
    bool StartWorker() override { return starts_; }
    void FinishWorker(uint32_t) override { finished_ = true; }

    // Runs the dialog on this thread while `script` works it from another;
    // the script ends the dialog.
    void RunDialog(const std::function<void(HWND)>& script) {
        std::thread user([&] {
            HWND dialog =
                WaitForDialogTitled(GetCurrentProcessId(), "pkx Self Extract Updater ver.1.50");
            if (dialog != nullptr) script(dialog);
        });
        EXPECT_TRUE(win32ui::RunProgressDialog(GetModuleHandleA(nullptr), context_, font_, this));
        user.join();
    }

    ApplyContext context_;
    UiFont font_;
    bool starts_ = true;
    bool finished_ = false;
};

TEST_F(ProgressDialogInProcessTest, AFailedWorkerStartIsLoggedAndTheDialogCanBeClosed) {
    starts_ = false;
    RunDialog([&](HWND dialog) {
        EXPECT_TRUE(WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); }));
        EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1002));
        // The text, its own line break and the log's: an empty line follows.
        EXPECT_EQ(Lines(ItemText(dialog, PKX_ID_LOG)),
                  (Log{ResourceText(GetACP() == 932 ? 109 : 209), ""}));
        // The log line's character format: 9 points in the table's face.
        CHARFORMATA format = {};
        format.cbSize = sizeof format;
        SendDlgItemMessageA(dialog, PKX_ID_LOG, EM_SETSEL, 0, 4);
        SendDlgItemMessageA(dialog, PKX_ID_LOG, EM_GETCHARFORMAT, SCF_SELECTION,
                            reinterpret_cast<LPARAM>(&format));
        EXPECT_EQ(format.yHeight, 180);
        EXPECT_STREQ(format.szFaceName, kDefaultFontFace);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(ExitCode(context_), 255) << "a run that never started is no success";
}

// Escape and the close command arrive as the button's command.
TEST_F(ProgressDialogInProcessTest, CancelCountsOnlyWhileTheButtonIsEnabled) {
    RunDialog([&](HWND dialog) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        Sleep(300);
        EXPECT_EQ(context_.cancelRequested, 0) << "taken while disabled";
        EXPECT_FALSE(ItemEnabled(dialog, IDCANCEL));
        SendMessageA(dialog, kApplyEventMessage, EV_READY, 0);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        EXPECT_TRUE(WaitUntil(
            [&] { return context_.cancelRequested == 1 && !ItemEnabled(dialog, IDCANCEL); }));
        PostMessageA(dialog, kApplyEventMessage, EV_CANCELLED, 0);
        EXPECT_TRUE(WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); }));
        EXPECT_EQ(Lines(ItemText(dialog, PKX_ID_LOG)),
                  (Log{Text(1017), Text(1018), Text(1021), Text(1023), Text(1024)}));
        Click(dialog, IDCANCEL);
    });
    EXPECT_TRUE(finished_);
    EXPECT_EQ(ExitCode(context_), 255);
}

// Progress values the dialog's sink holds back reach the bars before the next
// event and before the end of the run.
TEST_F(ProgressDialogInProcessTest, ProgressValuesAreShownBeforeTheNextEventAndAtTheEnd) {
    RunDialog([&](HWND dialog) {
        EventSink& events = *context_.events;
        for (intptr_t value = 0; value <= 500; ++value) events.Send(EV_FILE_PROGRESS, value);
        events.Send(EV_TOTAL_PROGRESS, 250);
        events.Send(EV_SEPARATOR, 0);
        EXPECT_EQ(BarPosition(dialog, PKX_ID_FILE_BAR), 500);
        EXPECT_EQ(BarPosition(dialog, PKX_ID_TOTAL_BAR), 250);
        EXPECT_EQ(ItemText(dialog, PKX_ID_FILE_PERCENT), "50.0%");
        events.Send(EV_FILE_PROGRESS, 999);
        events.Send(EV_FILE_PROGRESS, 1000);
        events.Post(EV_FINISHED, 0);
        EXPECT_TRUE(WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); }));
        EXPECT_EQ(BarPosition(dialog, PKX_ID_FILE_BAR), 1000);
        EXPECT_EQ(ItemText(dialog, PKX_ID_FILE_PERCENT), "100.0%");
        EXPECT_EQ(Lines(ItemText(dialog, PKX_ID_LOG)), (Log{Text(1039), Text(1019)}));
        Click(dialog, IDCANCEL);
    });
}

// Where each of `names` first stands in the log, in their order; -1 for one missing.
std::vector<int> PlacesIn(const Log& log, const std::vector<const char*>& names) {
    std::vector<int> places;
    for (const char* name : names) {
        int at = -1;
        for (size_t i = 0; i < log.size() && at < 0; ++i) {
            if (log[i].find(name) != std::string::npos) at = static_cast<int>(i);
        }
        places.push_back(at);
    }
    return places;
}

// The per-file events wait in a queue, their names copied, and their lines
// are appended together: by the timer when no other event follows, else
// before the next other event's own, in order, however many wait.
TEST_F(ProgressDialogInProcessTest, HeldLogLinesAreShownInOrder) {
    RunDialog([&](HWND dialog) {
        EventSink& events = *context_.events;
        auto file = [&](uint32_t code, std::string name) {
            events.Send(code, reinterpret_cast<intptr_t>(name.c_str()));
        };
        file(EV_UPDATING_FILE, "first.js");
        EXPECT_TRUE(WaitUntil([&] {
            return PlacesIn(Lines(ItemText(dialog, PKX_ID_LOG)), {"first.js"})[0] >= 0;
        })) << "a held line waits for no further event";
        // More than the queue holds, each name gone as soon as it is sent.
        std::vector<std::string> names;
        for (int i = 0; i < 150; ++i) {
            names.push_back("file" + std::to_string(i) + ".js");
            file(i % 2 == 0 ? EV_ADDING_FILE : EV_DELETING_FILE, names.back());
            events.Send(EV_FILE_PROGRESS, i);
        }
        events.Send(EV_SEPARATOR, 0);
        const Log log = Lines(ItemText(dialog, PKX_ID_LOG));
        std::vector<const char*> expected = {"first.js"};
        for (const std::string& name : names) expected.push_back(name.c_str());
        const std::vector<int> places = PlacesIn(log, expected);
        EXPECT_GE(places[0], 0);
        EXPECT_TRUE(std::is_sorted(places.begin(), places.end()) &&
                    std::adjacent_find(places.begin(), places.end()) == places.end());
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), Text(1039)) << "the separator comes last";
        events.Post(EV_FINISHED, 0);
        EXPECT_TRUE(WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); }));
        Click(dialog, IDCANCEL);
    });
}

// The log (1016) takes the font too, but a RichEdit control does not answer
// WM_GETFONT with it.
bool EveryControlHolds(HWND dialog, HFONT font) {
    for (int id : {1010, 1028, 1011, 1006, 1008, 1029, 1019, IDCANCEL}) {
        if (reinterpret_cast<HFONT>(SendDlgItemMessageA(dialog, id, WM_GETFONT, 0, 0)) != font) {
            return false;
        }
    }
    return true;
}

LOGFONTA Describe(HFONT font) {
    LOGFONTA description = {};
    GetObjectA(font, sizeof description, &description);
    return description;
}

// As the worker does per package: a font (the package's, or the fallback of
// the system code page), then EV_APPLY_TEXTS. A font no control ever took is
// deleted as soon as the next one arrives.
TEST_F(ProgressDialogInProcessTest, APackagesFontReplacesThePreviousOneOnlyOnceApplied) {
    context_.textCodePage = 1252;
    context_.fontHeight = 15;
    std::memset(context_.fontFace, 'F', 40);  // longer than a face field holds
    const uint32_t savedCodePage = systemCodePage;
    HFONT third = nullptr;
    RunDialog([&](HWND dialog) {
        context_.prompts->CreateUiFont(context_, false);
        HFONT first = font_.Current();
        const LOGFONTA described = Describe(first);
        EXPECT_EQ(described.lfHeight, 15);
        EXPECT_EQ(std::string(described.lfFaceName), std::string(31, 'F'));
        EXPECT_EQ(described.lfWeight, FW_NORMAL);
        EXPECT_EQ(described.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(described.lfQuality, PROOF_QUALITY);
        SendMessageA(dialog, kApplyEventMessage, EV_APPLY_TEXTS, 0);
        EXPECT_TRUE(first != nullptr && EveryControlHolds(dialog, first));
        systemCodePage = 932;
        context_.prompts->CreateUiFont(context_, true);
        HFONT second = font_.Current();
        EXPECT_EQ(std::string(Describe(second).lfFaceName), "MS UI Gothic");
        EXPECT_EQ(Describe(second).lfHeight, 12);
        systemCodePage = 1252;
        context_.prompts->CreateUiFont(context_, true);
        third = font_.Current();
        EXPECT_EQ(std::string(Describe(third).lfFaceName), "Arial");
        systemCodePage = savedCodePage;
        EXPECT_EQ(GetObjectType(second), 0u) << "never applied, kept";
        EXPECT_EQ(GetObjectType(first), static_cast<DWORD>(OBJ_FONT)) << "deleted while held";
        SendMessageA(dialog, kApplyEventMessage, EV_APPLY_TEXTS, 0);
        EXPECT_EQ(GetObjectType(first), 0u) << "kept once released";
        EXPECT_TRUE(EveryControlHolds(dialog, third));
        PostMessageA(dialog, kApplyEventMessage, EV_FINISHED, 0);
        EXPECT_TRUE(WaitUntil([&] { return ItemEnabled(dialog, IDCANCEL); }));
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(ExitCode(context_), 0);
    font_.Reset();
    EXPECT_EQ(GetObjectType(third), 0u);
}

}  // namespace
}  // namespace pkx::gui
