// The prompts of a run: password, target folder (with the folder browser)
// and notice texts, each worked through its dialog.
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

class PromptTest : public GuiTest {
  protected:
    // Presses OK in `dialog` and answers the message box that must follow.
    void ExpectRejected(HWND dialog, uint32_t messageId) {
        Click(dialog, IDOK);
        HWND box = run_.MessageBox(kProgramTitle);
        ASSERT_NE(box, nullptr) << messageId;
        EXPECT_EQ(MessageBoxText(box), Text(messageId));
        Click(box, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the prompt stays open";
    }

    void ExpectUpdated() {
        EXPECT_EQ(run_.ExitCode(), 0u);
        EXPECT_EQ(Difference(FilesIn(install_), AppVersion2()), "");
    }

    void ExpectButtons(HWND dialog) {
        EXPECT_TRUE(IsCentered(dialog));
        EXPECT_EQ(ItemText(dialog, IDOK), Text(1000));
        EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1001));
    }
};

// Cancel ends the run as cancelled; a wrong password is refused until the
// right one is typed.
TEST_F(PromptTest, ThePasswordIsAskedUntilItIsRightOrCancelled) {
    for (const bool cancel : {true, false}) {
        SetUp();
        PackageModel model = Standard();
        packwriter::SetPassword(model, "secret");
        Prepare(AppVersion1(), {model});
        Start("-F");
        HWND dialog = run_.Dialog(Text(1061));
        ASSERT_NE(dialog, nullptr);
        if (cancel) {
            Click(dialog, IDCANCEL);
            HWND progress = run_.ProgressDialog();
            const Log log = run_.LogAtEnd(progress);
            EXPECT_TRUE(Contains(log, Text(1021))) << Joined(log);
            EXPECT_EQ(run_.Close(progress), 255u);
            EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
            continue;
        }
        ExpectButtons(dialog);
        EXPECT_EQ(ItemText(dialog, PKX_ID_PROMPT), Text(1062));
        EXPECT_FALSE(IsWindowEnabled(run_.ProgressDialog())) << "disabled under its prompt";
        SetItemText(dialog, PKX_ID_PASSWORD, "wrong");
        Screenshot("password");
        ExpectRejected(dialog, 1063);
        EXPECT_EQ(ItemText(dialog, PKX_ID_PASSWORD), "wrong") << "the typed text stays";
        SetItemText(dialog, PKX_ID_PASSWORD, "secret");
        Click(dialog, IDOK);
        ExpectUpdated();
    }
}

// Empty and missing folders are refused; the browser opens on the typed
// folder and its Cancel leaves the field alone; a relative folder is taken
// from the program's folder, a trailing backslash dropped.
TEST_F(PromptTest, TheFolderPromptRefusesEmptyAndMissingFoldersBrowsesAndTakesRelativeOnes) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
    model.folderSources.push_back({});  // kind 0: asked
    Prepare(AppVersion1(), {model});
    // Started elsewhere: only the program's own folder can make "install" right.
    // Asking first and not closing by itself, so that its log can be read at the end.
    ASSERT_TRUE(run_.Start(updater_, "", Options().work));
    HWND question = run_.MessageBox(TitleFor());
    ASSERT_NE(question, nullptr);
    Click(question, IDYES);
    HWND dialog = run_.Dialog(Text(1064));
    ASSERT_NE(dialog, nullptr);
    ExpectButtons(dialog);
    EXPECT_EQ(ItemText(dialog, PKX_ID_PROMPT), Text(1065));
    EXPECT_EQ(ItemText(dialog, PKX_ID_BROWSE), Text(1003));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), "");
    ExpectRejected(dialog, 1067);

    auto browse = [&] {
        Click(dialog, PKX_ID_BROWSE);
        return WaitForDialog(run_.Pid(), [&](HWND window) {
            return window != dialog && GetWindow(window, GW_OWNER) == dialog;
        });
    };
    // An empty field: the browser opens at its root; Cancel changes nothing.
    HWND first = browse();
    ASSERT_NE(first, nullptr);
    Click(first, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(first); }));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), "");
    // The typed folder is selected when the browser opens: OK returns it.
    // (Wine's browser cannot open the Z: drive, so the folder lies on C:.)
    const std::string data = "C:\\pkx-gui-browse\\data";
    ASSERT_TRUE(PutFiles(data, {{"file.txt", "x"}}));
    SetItemText(dialog, PKX_ID_FOLDER, data);
    HWND second = browse();
    ASSERT_NE(second, nullptr);
    Screenshot("browse-folder");
    Click(second, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(second); }));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), data);

    SetItemText(dialog, PKX_ID_FOLDER, install_ + "\\missing");
    ExpectRejected(dialog, 1068);
    SetItemText(dialog, PKX_ID_FOLDER, "install\\");
    Screenshot("target-folder");
    Click(dialog, IDOK);
    HWND progress = run_.ProgressDialog();
    const Log log = run_.LogAtEnd(progress);
    EXPECT_TRUE(Contains(log, Expand(1025, "install\\"))) << Joined(log);
    EXPECT_EQ(run_.Close(progress), 0u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion2()), "");
}

TEST_F(PromptTest, NoticesCloseOnlyWithTheirButtonOrEnter) {
    PackageModel model = Standard();
    model.noticeBlocks.push_back({0, "Read this first.\r\nSecond line.", "All done."});
    Prepare(AppVersion1(), {model});
    Start("-F");

    HWND before = run_.Dialog(Text(1060));
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(Lines(ItemText(before, PKX_ID_NOTICE_TEXT)),
              (Log{"Read this first.", "Second line."}));
    EXPECT_EQ(ItemText(before, IDOK), Text(1002));
    EXPECT_TRUE(IsCentered(before));
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "") << "shown before any change";
    Screenshot("notice");
    PressKey(before, VK_ESCAPE);
    Sleep(700);
    EXPECT_TRUE(IsWindow(before) && IsWindowVisible(before)) << "Escape closed the notice";
    PressKey(before, VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(before); })) << "Enter did not close it";

    HWND after = run_.Dialog(Text(1060));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(Lines(ItemText(after, PKX_ID_NOTICE_TEXT)), Log{"All done."});
    // After the changes, which the journal already calls complete.
    Files files = FilesIn(install_);
    EXPECT_EQ(files.erase("pkx-update.journal"), 1u);
    EXPECT_EQ(Difference(files, Version2WithBackups()), "");
    Click(after, IDOK);
    EXPECT_EQ(run_.ExitCode(), 0u);
}

}  // namespace
}  // namespace pkx::gui
