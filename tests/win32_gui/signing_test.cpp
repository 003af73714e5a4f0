// Signed updaters: signed with osslsigncode and a test certificate made with
// openssl, as a vendor signs a release. A single package and a container
// both apply, and both put everything back when a package fails.
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

using SignedUpdaterTest = GuiTest;

TEST_F(SignedUpdaterTest, ASignedPackageOrContainerAppliesAndRollsBackOnAFailure) {
    Files version3 = AppVersion2();
    version3["app.exe"] += "3.0";
    const PackageModel second = PackageBetween(AppVersion2(), version3, install_, "2.0", "3.0");
    struct Case {
        const char* what;
        std::vector<PackageModel> packages;
        DWORD exitCode;
        Files after;  // backups left out
    };
    const std::vector<Case> cases = {
        {"one package", {Standard()}, 0, AppVersion2()},
        {"one failing package", {Failing(Standard())}, 255, AppVersion1()},
        {"a container", {Standard(), second}, 0, version3},
        {"a container whose second package fails",
         {Standard(), Failing(second)},
         255,
         AppVersion1()},
    };
    for (const Case& c : cases) {
        SetUp();
        ASSERT_TRUE(PutFiles(install_, AppVersion1()));
        std::vector<Bytes> packages;
        for (const PackageModel& model : c.packages) packages.push_back(Built(model));
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
        if (c.exitCode != 0) {
            HWND dialog = run_.ProgressDialog();
            run_.LogAtEnd(dialog);
            Click(dialog, IDCANCEL);  // a failed run's dialog stays open until Close
        }
        EXPECT_EQ(run_.ExitCode(), c.exitCode) << c.what;
        EXPECT_EQ(Difference(FilesIn(install_), c.after), "") << c.what;
    }
}

}  // namespace
}  // namespace pkx::gui
