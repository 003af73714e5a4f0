// How runs end: refused, unattended, signed, failed; what happens to the
// backups and the document, and the exit code. (An interactive run that
// succeeds is in code_page_test.cpp, whose texts depend on the code page.)
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

// Signs the updater in `folder` (`unixFolder` to the Unix tools, which Wine
// starts) with a new test certificate; the verdict of `osslsigncode verify`.
// Wine gives no handle to wait on for a Unix process: its shell writes the
// status file last.
std::string SignUpdater(const std::string& folder, const std::string& unixFolder) {
    const std::string status = folder + "\\status.txt";
    if (!StartUnixShell(
            "cd '" + unixFolder +
            "' && { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=pkx-test-vendor "
            "-keyout key.pem -out cert.pem 2>/dev/null"
            " && osslsigncode sign -certs cert.pem -key key.pem -in update.exe -out signed.exe"
            " >/dev/null && mv -f signed.exe update.exe"
            " && osslsigncode verify -CAfile cert.pem -in update.exe > verify.txt 2>&1;"
            " echo $? > status.tmp; mv status.tmp status.txt; }") ||
        !WaitUntil([&] { return test::PathExists(status); }, 60000)) {
        return "signing did not end";
    }
    const std::string verdict = test::ReadFile(folder + "\\verify.txt").value_or("");
    if (test::ReadFile(status).value_or("") != "0\n") return "signing failed: " + verdict;
    return verdict.find("Signature verification: ok") != std::string::npos ? "ok" : verdict;
}

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
    Files expected = Version2WithBackups();
    expected["opener.exe"] = FilesIn(install_)["opener.exe"];
    expected["opened.txt"] = folder;
    EXPECT_TRUE(WaitUntil([&] { return Difference(FilesIn(install_), expected).empty(); }))
        << Difference(FilesIn(install_), expected);
}

// Signed updaters (osslsigncode, a test certificate made with openssl, as a
// vendor signs a release): a single package and a container both apply, and
// both put everything back when a package fails. A failed run keeps its
// dialog open with the box ticked but disabled, and opens no document.
TEST_F(ProgressTest, ASignedPackageOrContainerAppliesOrFailsAndRollsBack) {
    Files version3 = AppVersion2();
    version3["app.exe"] += "3.0";
    const PackageModel second = PackageBetween(AppVersion2(), version3, install_, "2.0", "3.0");
    struct Case {
        const char* what;
        std::vector<PackageModel> packages;
        Files after;  // backups left out; none: what was installed (the run fails)
    };
    const std::vector<Case> cases = {
        {"one package", {Standard()}, AppVersion2()},
        {"one failing package", {Failing(Standard())}, {}},
        {"a container", {Standard(), second}, version3},
        {"a container whose second package fails", {Standard(), Failing(second)}, {}},
    };
    for (const Case& c : cases) {
        SetUp();
        const bool fails = c.after.empty();
        ASSERT_TRUE(PutFiles(install_, AppVersion1()));
        if (fails) {
            ASSERT_TRUE(CopyFileA(DriverPath().c_str(), At("opener.exe").c_str(), FALSE));
        }
        const Files installed = FilesIn(install_);
        std::vector<Bytes> packages;
        for (PackageModel model : c.packages) {
            if (fails) model.documentName = "opener.exe";
            packages.push_back(Built(model));
        }
        // A single package is padded so that the certificate table follows its digest.
        if (packages.size() == 1) {
            ASSERT_TRUE(packwriter::PadPackage(packages[0], 8));
        }
        std::string error;
        ASSERT_TRUE(WriteUpdaterBytes(updater_, packages, &error)) << error;
        const size_t unsignedSize = test::ReadFile(updater_)->size();
        EXPECT_EQ(SignUpdater(folder_, unixFolder_), "ok") << c.what;
        EXPECT_GT(test::ReadFile(updater_)->size(), unsignedSize) << "not signed";
        Start("-F");
        if (fails) {
            HWND dialog = run_.ProgressDialog();
            const Log log = run_.LogAtEnd(dialog);
            EXPECT_TRUE(InOrder(log, {Expand(1030, At("app.exe").c_str()), Text(1055), Text(1020),
                                      Text(1023), Text(1024)}))
                << Joined(log);
            EXPECT_TRUE(ItemChecked(dialog, PKX_ID_DELETE_BACKUPS));
            EXPECT_FALSE(ItemEnabled(dialog, PKX_ID_DELETE_BACKUPS));
            EXPECT_EQ(Difference(FilesIn(install_), installed), "") << "restored before Close";
            Screenshot("progress-failed");
            Sleep(500);
            EXPECT_TRUE(run_.Running()) << "with -F only a success closes the dialog by itself";
            Click(dialog, IDCANCEL);
        }
        EXPECT_EQ(run_.ExitCode(), fails ? 255u : 0u) << c.what;
        EXPECT_EQ(Difference(FilesIn(install_), fails ? installed : c.after), "") << c.what;
    }
}

}  // namespace
}  // namespace pkx::gui
