// Signed updaters: signed with osslsigncode and a test certificate made with
// openssl, as a vendor signs a release. A single package (padded so that the
// certificate table follows its digest) and a container both apply, and both
// put everything back when a package fails.
#include "package/writer/delta_writer.h"
#include "tests/test_support.h"
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

// Wine's own export: the Unix path of a Windows path.
using UnixPathFunction = char*(CDECL*)(const WCHAR*);

std::string UnixPath(const std::string& path) {
    const auto convert = reinterpret_cast<UnixPathFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    WCHAR wide[MAX_PATH];
    if (convert == nullptr ||
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH) == 0) {
        return "";
    }
    char* unixPath = convert(wide);
    const std::string text = unixPath != nullptr ? unixPath : "";
    HeapFree(GetProcessHeap(), 0, unixPath);
    return text;
}

class SignedUpdaterTest : public GuiTest {
  protected:
    // Signs the updater in the test's folder with a new test certificate,
    // by Unix tools that Wine starts; the verdict of `osslsigncode verify`.
    // Wine gives no handle to wait on for a Unix process: its shell writes
    // the status file last.
    std::string SignUpdater() {
        const std::string folder = UnixPath(folder_);
        if (folder.empty()) return "no Unix path for " + folder_;
        const std::string script =
            "cd '" + folder +
            "' && { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=pkx-test-vendor "
            "-keyout key.pem -out cert.pem 2>/dev/null"
            " && osslsigncode sign -certs cert.pem -key key.pem -in update.exe -out signed.exe"
            " >/dev/null && mv -f signed.exe update.exe"
            " && osslsigncode verify -CAfile cert.pem -in update.exe > verify.txt 2>&1;"
            " echo $? > status.tmp; mv status.tmp status.txt; }";
        UpdaterProcess shell;
        if (!shell.Start("Z:\\bin\\sh", "-c \"" + script + "\"")) return "the shell did not start";
        const std::string status = folder_ + "\\status.txt";
        for (int waited = 0; GetFileAttributesA(status.c_str()) == INVALID_FILE_ATTRIBUTES;
             waited += 100) {
            if (waited > 60000) return "signing did not end";
            Sleep(100);
        }
        const std::string verdict = test::ReadFile(folder_ + "\\verify.txt").value_or("");
        if (test::ReadFile(status).value_or("") != "0\n") return "signing failed: " + verdict;
        return verdict.find("Signature verification: ok") != std::string::npos ? "ok" : verdict;
    }

    // Writes the updater of `packages`, signs it and runs it unattended;
    // returns its exit code. A failed run leaves its dialog open until Close.
    DWORD RunSigned(const Files& installed, std::vector<Bytes> packages, bool fails) {
        EXPECT_TRUE(PutFiles(install_, installed));
        if (packages.size() == 1) {
            EXPECT_TRUE(packwriter::PadPackage(packages[0], 8));
        }
        std::string error;
        EXPECT_TRUE(WriteUpdaterBytes(updater_, packages, &error)) << error;
        const size_t unsignedSize = FileSize(updater_);
        EXPECT_EQ(SignUpdater(), "ok");
        EXPECT_GT(FileSize(updater_), unsignedSize) << "not signed";
        UpdaterProcess run;
        Start(run, "-F");
        if (fails) {
            HWND dialog = run.ProgressDialog();
            EXPECT_TRUE(run.WaitForRunEnd(dialog));
            Click(dialog, IDCANCEL);
        }
        return ExitCodeOf(run);
    }

    static size_t FileSize(const std::string& path) {
        return test::ReadFile(path).value_or("").size();
    }
};

Bytes Built(const PackageModel& model) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(packwriter::BuildPackage(model, &bytes, nullptr, &error)) << error;
    return bytes;
}

// A package whose second update has a malformed difference stream: it fails
// after its first file was written.
PackageModel Failing(PackageModel model) {
    model.updates.back().data =
        packwriter::DeltaStreamWriter(64).Opcode(OP_LITERAL_BYTES).RawU32(65).Take();
    return model;
}

TEST_F(SignedUpdaterTest, ASignedPackageOrContainerAppliesAndRollsBackOnAFailure) {
    Files version3 = AppVersion2();
    version3["app.exe"] += "3.0";
    const PackageModel first = PackageBetween(AppVersion1(), AppVersion2(), install_);
    const PackageModel second = PackageBetween(AppVersion2(), version3, install_, "2.0", "3.0");
    struct Case {
        const char* what;
        std::vector<PackageModel> packages;
        DWORD exitCode;
        Files after;  // backups left out
    };
    const std::vector<Case> cases = {
        {"one package", {first}, 0, AppVersion2()},
        {"one failing package", {Failing(first)}, 255, AppVersion1()},
        {"a container", {first, second}, 0, version3},
        {"a container whose second package fails", {first, Failing(second)}, 255, AppVersion1()},
    };
    for (const Case& c : cases) {
        SetUp();
        std::vector<Bytes> packages;
        for (const PackageModel& model : c.packages) {
            PackageModel found = model;
            found.deleteBackupsDefault = 1;
            packages.push_back(Built(found));
        }
        EXPECT_EQ(RunSigned(AppVersion1(), packages, c.exitCode != 0), c.exitCode) << c.what;
        EXPECT_EQ(Difference(FilesIn(install_), c.after), "") << c.what;
    }
}

}  // namespace
}  // namespace pkx::gui
