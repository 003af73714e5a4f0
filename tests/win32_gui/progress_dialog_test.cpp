// The progress dialog through whole runs: what it shows, how it ends, what
// happens to the backups, and the exit code.
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

class ProgressTest : public GuiTest {
  protected:
    // Answers the confirmation question; the progress dialog.
    HWND Confirm(UpdaterProcess& run, bool yes) {
        HWND box = run.MessageBox(TitleFor());
        if (box == nullptr) return nullptr;
        EXPECT_EQ(MessageBoxText(box), Expand(1010, "GuiApp", "1.0", "2.0"));
        EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
        EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
        if (yes) Screenshot("confirmation", run.Pid());
        Click(box, yes ? IDYES : IDNO);
        return run.ProgressDialog();
    }
};

// The box is ticked by the package; the user leaves it or clears it.
TEST_F(ProgressTest, AnInteractiveRunShowsItsProgressAndDeletesTheBackupsOnCloseIfTicked) {
    for (const bool clear : {false, true}) {
        SetUp();
        Prepare(AppVersion1(), {Standard()});
        UpdaterProcess run;
        Start(run);
        HWND dialog = Confirm(run, true);
        const Log log = run.LogAtEnd(dialog);
        EXPECT_TRUE(InOrder(
            log,
            {Expand(1011, updater_.c_str()), Text(1015), Expand(1025, (install_ + "\\").c_str()),
             Text(1017), Text(1026), Expand(1030, At("app.exe").c_str()),
             Expand(1030, At("data\\lib.dll").c_str()), Expand(1031, At("new.txt").c_str()),
             Expand(1032, At("old.txt").c_str()), Text(1019)}))
            << Joined(log);
        EXPECT_EQ(TextOf(dialog), TitleFor());
        EXPECT_TRUE(IsCentered(dialog));
        const std::pair<int, std::string> items[] = {
            {PKX_ID_HEADLINE, Expand(1009, "GuiApp", "1.0", "2.0")},
            {PKX_ID_RIGHTS_LABEL, Text(1004)},
            {PKX_ID_RIGHTS_TEXT, "(c) pkx GUI tests"},
            {PKX_ID_STATUS, Text(1005)},
            {PKX_ID_LOG_LABEL, Text(1006)},
            {PKX_ID_DELETE_BACKUPS, Text(1007)},
            {PKX_ID_TOTAL_PERCENT, "100.0%"}};
        for (const auto& [id, text] : items) EXPECT_EQ(ItemText(dialog, id), text) << id;
        EXPECT_EQ(BarPosition(dialog, PKX_ID_TOTAL_BAR), 1000);
        EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
        EXPECT_TRUE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
        if (!clear) Screenshot("progress-finished", run.Pid());
        // Nothing is deleted before Close; the journal, complete, stays till then.
        Files files = FilesIn(install_);
        EXPECT_EQ(files.erase("pkx-update.journal"), 1u);
        EXPECT_EQ(Difference(files, WithBackups(AppVersion2(), AppVersion1())), "");
        if (clear) {
            Click(dialog, PKX_ID_DELETE_BACKUPS);
            ASSERT_TRUE(WaitUntil([&] { return !ItemChecked(dialog, PKX_ID_DELETE_BACKUPS); }));
        }
        EXPECT_EQ(run.Close(dialog), 0u);
        EXPECT_EQ(Difference(FilesIn(install_),
                             clear ? WithBackups(AppVersion2(), AppVersion1()) : AppVersion2()),
                  "");
    }
}

TEST_F(ProgressTest, AnsweringNoChangesNothingAndEndsWith255) {
    Prepare(AppVersion1(), {Standard()});
    UpdaterProcess run;
    Start(run);
    HWND dialog = Confirm(run, false);
    const Log log = run.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(log, {Text(1021), Text(1023), Text(1024)})) << Joined(log);
    EXPECT_FALSE(Contains(log, Text(1020))) << "a refusal is no error";
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(run.Close(dialog), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
}

// An unattended run closes by itself and keeps the backups when the package
// says so; the document is opened in the target folder.
TEST_F(ProgressTest, AnUnattendedRunKeepsTheBackupsWhenThePackageSaysSoAndOpensTheDocument) {
    PackageModel model = Standard();
    model.deleteBackupsDefault = 0;
    model.documentName = "opener.exe";
    Prepare(AppVersion1(), {model});
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), At("opener.exe").c_str(), FALSE));
    UpdaterProcess run;
    Start(run, "-force");
    EXPECT_EQ(run.ExitCode(), 0u);
    char folder[MAX_PATH];
    GetFullPathNameA(install_.c_str(), MAX_PATH, folder, nullptr);
    Files expected = WithBackups(AppVersion2(), AppVersion1());
    expected["opener.exe"] = FilesIn(install_)["opener.exe"];
    expected["opened.txt"] = folder;
    EXPECT_TRUE(WaitUntil([&] { return Difference(FilesIn(install_), expected).empty(); }))
        << Difference(FilesIn(install_), expected);
}

TEST_F(ProgressTest, AFailureKeepsTheDialogOpenWithTheBoxDisabledAndRestoresEverything) {
    PackageModel model = Failing(Standard());
    model.documentName = "opener.exe";
    Prepare(AppVersion1(), {model});
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), At("opener.exe").c_str(), FALSE));
    const Files installed = FilesIn(install_);
    UpdaterProcess run;
    Start(run, "-F");
    HWND dialog = run.ProgressDialog();
    const Log log = run.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(
        log, {Expand(1030, At("app.exe").c_str()), Expand(1030, At("data\\lib.dll").c_str()),
              Text(1055), Text(1020), Text(1023), Text(1024)}))
        << Joined(log);
    EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "restored before Close";
    Screenshot("progress-failed", run.Pid());
    Sleep(500);
    EXPECT_TRUE(run.Running()) << "with -F only a success closes the dialog by itself";
    EXPECT_EQ(run.Close(dialog), 255u);
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
    // app.exe is done (it comes first), a tenth of the files too.
    ASSERT_TRUE(WaitUntil([&] { return BarPosition(dialog, PKX_ID_TOTAL_BAR) >= 100; }))
        << Joined(run.LogOf(dialog));
    EXPECT_TRUE(ItemEnabled(dialog, IDCANCEL));
    EXPECT_EQ(ItemText(dialog, IDCANCEL), Text(1001));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS)) << "-F leaves the box to the package";
    Screenshot("progress-running", run.Pid());
    Click(dialog, IDCANCEL);
    const Log log = run.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(
        log, {Expand(1030, At("app.exe").c_str()), Text(1018), Text(1021), Text(1023), Text(1024)}))
        << Joined(log);
    EXPECT_FALSE(Contains(log, Text(1019)));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(run.Close(dialog), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), before), "");
}

TEST_F(ProgressTest, AContainerLogsOneSummaryLinePerPackage) {
    // 0.9 -> 1.0 does not fit the installation (its app.exe is neither the
    // old nor the new one) and is skipped; 1.0 -> 2.0 and 2.0 -> 3.0 apply.
    Files version3 = AppVersion2();
    version3["app.exe"] += "3.0";
    Files version09 = AppVersion1();
    version09["app.exe"] = "older";
    Files other10 = AppVersion1();
    other10["app.exe"] = "another 1.0";
    Prepare(AppVersion1(), {PackageBetween(version09, other10, install_, "0.9", "1.0"), Standard(),
                            PackageBetween(AppVersion2(), version3, install_, "2.0", "3.0")});
    UpdaterProcess run;
    Start(run);
    const char* const kLabels[][2] = {{"0.9", "1.0"}, {"1.0", "2.0"}, {"2.0", "3.0"}};
    for (const auto& labels : kLabels) {
        HWND box = run.MessageBox(TitleFor(labels[0], labels[1]));
        ASSERT_NE(box, nullptr);
        Click(box, IDYES);
    }
    HWND dialog = run.ProgressDialog();
    const Log log = run.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(
        log, {Text(1069), Text(1039), Expand(1070, "0.9", "1.0"), Expand(1071, "1.0", "2.0"),
              Expand(1071, "2.0", "3.0"), Text(1039), Text(1019)}))
        << Joined(log);
    EXPECT_EQ(run.Close(dialog), 0u);
    // Both applied packages' backups go on Close (the default box is ticked).
    EXPECT_EQ(Difference(FilesIn(install_), version3), "");
}

}  // namespace
}  // namespace pkx::gui
