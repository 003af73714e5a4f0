// The prompts of a run: password, target folder (with the folder browser)
// and notice texts, each worked through its dialog.
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

class PromptTest : public GuiTest {
  protected:
    // The standard update, its folder asked from the user.
    PackageModel FolderPromptPackage() {
        PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
        model.folderSources.push_back(PromptSource());
        return model;
    }

    // Presses OK in `dialog` and answers the message box that must follow.
    void ExpectRejected(UpdaterProcess& run, HWND dialog, uint32_t messageId) {
        Click(dialog, IDOK);
        HWND box = run.MessageBox(kProgramTitle);
        ASSERT_NE(box, nullptr) << "no message " << messageId;
        EXPECT_EQ(MessageBoxText(box), Text(messageId));
        Click(box, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
        EXPECT_TRUE(IsWindowVisible(dialog)) << "the prompt stays open";
    }

    void ExpectUpdatedIn(UpdaterProcess& run, const std::string& folder) {
        EXPECT_EQ(ExitCodeOf(run), 0u);
        EXPECT_EQ(Difference(FilesIn(folder), AppVersion2()), "");
    }
};

TEST_F(PromptTest, AWrongPasswordIsRefusedUntilTheRightOneIsTyped) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    packwriter::SetPassword(model, "secret");
    Prepare(AppVersion1(), {model});
    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.Dialog(Text(1061));
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsCentered(dialog));
    EXPECT_EQ(ItemText(dialog, PKX_ID_PROMPT), Text(1062));
    EXPECT_EQ(ItemText(dialog, IDOK), Text(1000));
    EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1001));
    // The progress dialog is disabled while its prompt is open.
    HWND progress = run.ProgressDialog();
    EXPECT_FALSE(IsWindowEnabled(progress));

    SetItemText(dialog, PKX_ID_PASSWORD, "wrong");
    Screenshot("password", run.Pid());
    ExpectRejected(run, dialog, 1063);
    EXPECT_EQ(ItemText(dialog, PKX_ID_PASSWORD), "wrong") << "the typed text stays";
    SetItemText(dialog, PKX_ID_PASSWORD, "secret");
    Click(dialog, IDOK);
    ExpectUpdatedIn(run, install_);
}

TEST_F(PromptTest, CancellingThePasswordEndsTheRunAsCancelled) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    packwriter::SetPassword(model, "secret");
    Prepare(AppVersion1(), {model});
    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.Dialog(Text(1061));
    ASSERT_NE(dialog, nullptr);
    Click(dialog, IDCANCEL);
    HWND progress = run.ProgressDialog();
    ASSERT_TRUE(run.WaitForRunEnd(progress));
    EXPECT_TRUE(Contains(run.Log(progress), Text(1021))) << Joined(run.Log(progress));
    Click(progress, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
}

TEST_F(PromptTest, TheFolderPromptRejectsEmptyAndMissingFoldersAndDropsATrailingBackslash) {
    Prepare(AppVersion1(), {FolderPromptPackage()});
    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.Dialog(Text(1064));
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsCentered(dialog));
    EXPECT_EQ(ItemText(dialog, PKX_ID_PROMPT), Text(1065));
    EXPECT_EQ(ItemText(dialog, PKX_ID_BROWSE), Text(1003));
    EXPECT_EQ(ItemText(dialog, IDOK), Text(1000));
    EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1001));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), "");
    ExpectRejected(run, dialog, 1067);
    SetItemText(dialog, PKX_ID_FOLDER, install_ + "\\missing");
    ExpectRejected(run, dialog, 1068);
    SetItemText(dialog, PKX_ID_FOLDER, install_ + "\\");
    Screenshot("target-folder", run.Pid());
    Click(dialog, IDOK);
    HWND progress = run.ProgressDialog();
    ASSERT_TRUE(WaitUntil([&] {
        return Contains(run.Log(progress), Expand(1025, (install_ + "\\").c_str()));
    })) << Joined(run.Log(progress));
    ExpectUpdatedIn(run, install_);
}

TEST_F(PromptTest, ARelativeFolderIsTakenFromTheProgramsFolder) {
    Prepare(AppVersion1(), {FolderPromptPackage()});
    UpdaterProcess run;
    // Started elsewhere: only the program's own folder can make it right.
    ASSERT_TRUE(run.Start(updater_, "-F", Options().work));
    HWND dialog = run.Dialog(Text(1064));
    ASSERT_NE(dialog, nullptr);
    SetItemText(dialog, PKX_ID_FOLDER, "install");
    Click(dialog, IDOK);
    HWND progress = run.ProgressDialog();
    ASSERT_TRUE(WaitUntil([&] { return Contains(run.Log(progress), Expand(1025, "install\\")); }))
        << Joined(run.Log(progress));
    ExpectUpdatedIn(run, install_);
}

TEST_F(PromptTest, BrowseOpensOnTheTypedFolderAndCancelLeavesTheFieldAlone) {
    Prepare(AppVersion1(), {FolderPromptPackage()});
    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.Dialog(Text(1064));
    ASSERT_NE(dialog, nullptr);
    auto browser = [&] {
        return WaitForDialog(run.Pid(), [&](HWND window) {
            return window != dialog && GetDlgItem(window, PKX_ID_LOG) == nullptr &&
                   GetWindow(window, GW_OWNER) == dialog;
        });
    };

    // An empty field: the browser opens at its root; Cancel changes nothing.
    Click(dialog, PKX_ID_BROWSE);
    HWND first = browser();
    ASSERT_NE(first, nullptr);
    Click(first, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(first); }));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), "");

    // The typed folder is selected when the browser opens: OK returns it.
    // (Wine's browser cannot open the Z: drive, so the folder lies on C:.)
    const std::string data = "C:\\pkx-gui-browse\\data";
    ASSERT_TRUE(PutFiles(data, {{"file.txt", "x"}}));
    SetItemText(dialog, PKX_ID_FOLDER, data);
    Click(dialog, PKX_ID_BROWSE);
    HWND second = browser();
    ASSERT_NE(second, nullptr);
    Screenshot("browse-folder", run.Pid());
    Click(second, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(second); }));
    EXPECT_EQ(ItemText(dialog, PKX_ID_FOLDER), data);

    SetItemText(dialog, PKX_ID_FOLDER, install_);
    Click(dialog, IDOK);
    ExpectUpdatedIn(run, install_);
}

TEST_F(PromptTest, NoticesCloseOnlyWithTheirButtonOrEnter) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.noticeBlocks.push_back({0, "Read this first.\r\nSecond line.", "All done."});
    Prepare(AppVersion1(), {model});
    UpdaterProcess run;
    Start(run, "-F");

    HWND before = run.Dialog(Text(1060));
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(Lines(ItemText(before, PKX_ID_NOTICE_TEXT)),
              (std::vector<std::string>{"Read this first.", "Second line."}));
    EXPECT_EQ(ItemText(before, IDOK), Text(1002));
    EXPECT_TRUE(IsCentered(before));
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "") << "shown before any change";
    Screenshot("notice", run.Pid());
    PressKey(before, VK_ESCAPE);
    Sleep(700);
    EXPECT_TRUE(IsWindow(before) && IsWindowVisible(before)) << "Escape closed the notice";
    PressKey(before, VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(before); })) << "Enter did not close it";

    HWND after = run.Dialog(Text(1060));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(Lines(ItemText(after, PKX_ID_NOTICE_TEXT)), (std::vector<std::string>{"All done."}));
    // After the changes, which the journal already calls complete.
    Files files = FilesIn(install_);
    EXPECT_EQ(files.erase("pkx-update.journal"), 1u);
    EXPECT_EQ(Difference(files, WithBackups(AppVersion2(), AppVersion1(), "1.0")), "");
    Click(after, IDOK);
    EXPECT_EQ(ExitCodeOf(run), 0u);
}

}  // namespace
}  // namespace pkx::gui
