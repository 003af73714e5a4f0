// How runs end: refused, unattended, failed; what happens to the backups and
// the document, and the exit code. (An interactive run that succeeds is in
// code_page_test.cpp, whose texts depend on the code page.)
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

using ProgressTest = GuiTest;

TEST_F(ProgressTest, AnsweringNoChangesNothingAndEndsWith255) {
    Prepare(AppVersion1(), {Standard()});
    Start();
    HWND box = run_.MessageBox(TitleFor());
    ASSERT_NE(box, nullptr);
    Click(box, IDNO);
    HWND dialog = run_.ProgressDialog();
    const Log log = run_.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(log, {Text(1021), Text(1023), Text(1024)})) << Joined(log);
    EXPECT_FALSE(Contains(log, Text(1020))) << "a refusal is no error";
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(run_.Close(dialog), 255u);
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
    Start("-force");
    EXPECT_EQ(run_.ExitCode(), 0u);
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
    Start("-F");
    HWND dialog = run_.ProgressDialog();
    const Log log = run_.LogAtEnd(dialog);
    EXPECT_TRUE(InOrder(
        log, {Expand(1030, At("app.exe").c_str()), Expand(1030, At("data\\lib.dll").c_str()),
              Text(1055), Text(1020), Text(1023), Text(1024)}))
        << Joined(log);
    EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
    EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "restored before Close";
    Screenshot("progress-failed");
    Sleep(500);
    EXPECT_TRUE(run_.Running()) << "with -F only a success closes the dialog by itself";
    EXPECT_EQ(run_.Close(dialog), 255u);
    EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "no document opened";
}

}  // namespace
}  // namespace pkx::gui
