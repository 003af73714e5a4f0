// The progress dialog through whole runs: what it shows, how it ends, what
// happens to the backups, and the exit code.
#include "package/writer/delta_writer.h"
#include "tests/win32_gui/gui_test.h"
#include "texts/text_table.h"

namespace pkx::gui {
namespace {

class ProgressTest : public GuiTest {
  protected:
    // The standard update from 1.0 to 2.0, found at the installation folder.
    void PrepareStandard(uint8_t deleteBackupsDefault) {
        PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
        model.deleteBackupsDefault = deleteBackupsDefault;
        Prepare(AppVersion1(), {model});
    }

    std::string Target(const std::string& name) const { return install_ + "\\" + name; }

    // Answers the confirmation question with Yes; returns the progress dialog.
    HWND Confirm(UpdaterProcess& run, bool yes) {
        HWND box = run.MessageBox(TitleFor());
        EXPECT_NE(box, nullptr) << "no confirmation question";
        if (box == nullptr) return nullptr;
        EXPECT_EQ(MessageBoxText(box), Expand(1010, "GuiApp", "1.0", "2.0"));
        EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
        EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
        if (yes) Screenshot("confirmation", run.Pid());
        Click(box, yes ? IDYES : IDNO);
        return run.ProgressDialog();
    }

    // The log of a successful standard run, in order.
    std::vector<std::string> StandardLog() const {
        const std::string target = install_ + "\\";
        return {Expand(1011, updater_.c_str()),
                Text(1015),
                Expand(1025, target.c_str()),
                Text(1017),
                Text(1026),
                Expand(1030, Target("app.exe").c_str()),
                Expand(1030, Target("data\\lib.dll").c_str()),
                Expand(1031, Target("new.txt").c_str()),
                Expand(1032, Target("old.txt").c_str()),
                Text(1019)};
    }
};

TEST_F(ProgressTest, AnInteractiveRunShowsItsProgressAndDeletesTheBackupsOnClose) {
    PrepareStandard(1);
    UpdaterProcess run;
    Start(run);
    HWND dialog = Confirm(run, true);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(run.WaitForRunEnd(dialog)) << Joined(run.Log(dialog));

    EXPECT_EQ(TextOf(dialog), TitleFor());
    EXPECT_TRUE(IsCentered(dialog));
    EXPECT_EQ(ItemText(dialog, PKX_ID_HEADLINE), Expand(1009, "GuiApp", "1.0", "2.0"));
    EXPECT_EQ(ItemText(dialog, PKX_ID_RIGHTS_LABEL), Text(1004));
    EXPECT_EQ(ItemText(dialog, PKX_ID_RIGHTS_TEXT), "(c) pkx GUI tests");
    EXPECT_EQ(ItemText(dialog, PKX_ID_STATUS), Text(1005));
    EXPECT_EQ(ItemText(dialog, PKX_ID_LOG_LABEL), Text(1006));
    EXPECT_EQ(ItemText(dialog, PKX_ID_DELETE_BACKUPS), Text(1007));
    EXPECT_EQ(ItemText(dialog, PKX_ID_TOTAL_PERCENT), "100.0%");
    EXPECT_EQ(BarPosition(dialog, PKX_ID_TOTAL_BAR), 1000);
    EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_TRUE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, StandardLog())) << Joined(log);
    Screenshot("progress-finished", run.Pid());

    // Nothing is deleted before Close; the journal, complete, stays till then.
    Files files = FilesIn(install_);
    EXPECT_EQ(files.erase("pkx-update.journal"), 1u);
    EXPECT_EQ(Difference(files, WithBackups(AppVersion2(), AppVersion1(), "1.0")), "");
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion2()), "");
}

TEST_F(ProgressTest, ClearingTheBoxBeforeCloseKeepsTheBackups) {
    PrepareStandard(1);
    UpdaterProcess run;
    Start(run);
    HWND dialog = Confirm(run, true);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    Click(dialog, PKX_ID_DELETE_BACKUPS);
    ASSERT_TRUE(WaitUntil([&] { return !ItemChecked(dialog, PKX_ID_DELETE_BACKUPS); }));
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
    EXPECT_EQ(Difference(FilesIn(install_), WithBackups(AppVersion2(), AppVersion1(), "1.0")), "");
}

TEST_F(ProgressTest, AnsweringNoChangesNothingAndEndsWith255) {
    PrepareStandard(1);
    UpdaterProcess run;
    Start(run);
    HWND dialog = Confirm(run, false);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, {Text(1021), Text(1023), Text(1024)})) << Joined(log);
    EXPECT_FALSE(Contains(log, Text(1020))) << "a refusal is no error";
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
}

TEST_F(ProgressTest, UnattendedRunsCloseByThemselvesAndDeleteTheBackupsByDefault) {
    PrepareStandard(1);
    UpdaterProcess run;
    Start(run, "-F");
    // No question is asked: the run ends without any answer.
    EXPECT_EQ(ExitCodeOf(run), 0u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion2()), "");
}

TEST_F(ProgressTest, UnattendedRunsKeepTheBackupsWhenThePackageSaysSo) {
    PrepareStandard(0);
    UpdaterProcess run;
    Start(run, "-force");
    EXPECT_EQ(ExitCodeOf(run), 0u);
    EXPECT_EQ(Difference(FilesIn(install_), WithBackups(AppVersion2(), AppVersion1(), "1.0")), "");
}

TEST_F(ProgressTest, AFailureKeepsTheDialogOpenWithTheBoxDisabledAndRestoresEverything) {
    // The second update's difference stream is malformed: a literal run
    // longer than its block size (0x1000E), after the first file was written.
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.deleteBackupsDefault = 1;
    model.documentName = "opener.exe";
    ASSERT_EQ(model.updates.size(), 2u);
    model.updates[1].data =
        packwriter::DeltaStreamWriter(64).Opcode(OP_LITERAL_BYTES).RawU32(65).Take();
    Files installed = AppVersion1();
    Prepare(installed, {model});
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), (install_ + "\\opener.exe").c_str(), FALSE));
    installed = FilesIn(install_);

    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.ProgressDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, {Expand(1030, (install_ + "\\app.exe").c_str()),
                              Expand(1030, (install_ + "\\data\\lib.dll").c_str()), Text(1055),
                              Text(1020), Text(1023), Text(1024)}))
        << Joined(log);
    EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "restored before Close";
    Screenshot("progress-failed", run.Pid());
    // With -F only a success closes the dialog by itself.
    Sleep(500);
    EXPECT_TRUE(run.Running());
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "no document opened";
}

TEST_F(ProgressTest, CancelDuringALargeUpdateRestoresEveryFile) {
    // Hundreds of files, each with its own log line: the run lasts long
    // enough to cancel however fast the files themselves are rebuilt.
    Files before = AppVersion1();
    Files after = AppVersion2();
    for (uint32_t i = 0; i < 400; ++i) {
        const std::string name = "data\\part" + std::to_string(1000 + i) + ".dat";
        before[name] = Pattern(3000, i);
        after[name] = Pattern(3000, i + 1);
    }
    Prepare(before, {PackageBetween(before, after, install_)});

    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.ProgressDialog();
    ASSERT_NE(dialog, nullptr);
    // app.exe is done (it comes first), a tenth of the files too.
    ASSERT_TRUE(WaitUntil([&] { return BarPosition(dialog, PKX_ID_TOTAL_BAR) >= 100; }))
        << Joined(run.Log(dialog));
    EXPECT_TRUE(ItemEnabled(dialog, IDCANCEL));
    EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1001));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS)) << "-F leaves the box to the package";
    Screenshot("progress-running", run.Pid());
    Click(dialog, IDCANCEL);
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(log, {Expand(1030, (install_ + "\\app.exe").c_str()), Text(1018),
                              Text(1021), Text(1023), Text(1024)}))
        << Joined(log);
    EXPECT_FALSE(Contains(log, Text(1019)));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), before), "");
}

TEST_F(ProgressTest, AContainerLogsOneSummaryLinePerPackage) {
    // 0.9 -> 1.0 does not fit the installation and is skipped; 1.0 -> 2.0
    // and 2.0 -> 3.0 are applied in turn.
    Files version3 = AppVersion2();
    version3["app.exe"] += "3.0";
    // The installed app.exe is neither 0.9's old nor its new file.
    Files version09 = AppVersion1();
    version09["app.exe"] = "older";
    Files other10 = AppVersion1();
    other10["app.exe"] = "another 1.0";
    Prepare(AppVersion1(), {PackageBetween(version09, other10, install_, "0.9", "1.0"),
                            PackageBetween(AppVersion1(), AppVersion2(), install_, "1.0", "2.0"),
                            PackageBetween(AppVersion2(), version3, install_, "2.0", "3.0")});
    UpdaterProcess run;
    Start(run);
    HWND box = run.MessageBox(Expand(1008, "GuiApp", "0.9", "1.0"));
    ASSERT_NE(box, nullptr);
    Click(box, IDYES);
    const char* const kLabels[][2] = {{"1.0", "2.0"}, {"2.0", "3.0"}};
    for (const auto& labels : kLabels) {
        box = run.MessageBox(Expand(1008, "GuiApp", labels[0], labels[1]));
        ASSERT_NE(box, nullptr) << labels[0];
        Click(box, IDYES);
    }
    HWND dialog = run.ProgressDialog();
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    const std::vector<std::string> log = run.Log(dialog);
    EXPECT_TRUE(InOrder(
        log, {Text(1069), Text(1039), Expand(1070, "0.9", "1.0"), Expand(1071, "1.0", "2.0"),
              Expand(1071, "2.0", "3.0"), Text(1039), Text(1019)}))
        << Joined(log);
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
    // Both applied packages' backups go on Close (the default box is ticked).
    EXPECT_EQ(Difference(FilesIn(install_), version3), "");
}

TEST_F(ProgressTest, TheDocumentIsOpenedInTheTargetFolderAfterSuccess) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.documentName = "opener.exe";
    Prepare(AppVersion1(), {model});
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), (install_ + "\\opener.exe").c_str(), FALSE));
    UpdaterProcess run;
    Start(run, "-F");
    EXPECT_EQ(ExitCodeOf(run), 0u);
    std::string opened;
    ASSERT_TRUE(WaitUntil([&] {
        Files files = FilesIn(install_);
        opened = files.count("opened.txt") != 0 ? files["opened.txt"] : "";
        return !opened.empty();
    })) << "the document was not opened";
    // The working folder is the target folder.
    char expected[MAX_PATH];
    GetFullPathNameA(install_.c_str(), MAX_PATH, expected, nullptr);
    EXPECT_EQ(opened, expected);
}

}  // namespace
}  // namespace pkx::gui
