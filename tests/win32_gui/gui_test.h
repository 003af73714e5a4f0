// The GUI tests' support: real updaters (pkxupdate.exe followed by packages
// of the package writer) run as processes of their own, their windows found
// and worked as a user would (WM_GETTEXT, BM_CLICK, WM_SETTEXT, posted keys).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "core/apply_context.h"
#include "package/writer/package_writer.h"
#include "shell/win32/resource_ids.h"
#include "tests/test_support.h"

namespace pkx::gui {

using packwriter::PackageModel;
using test::Bytes;
using test::Difference;
using test::Files;
using test::Pattern;
using test::PutFiles;
using test::ToBytes;
using Log = std::vector<std::string>;

struct DriverOptions {
    std::string updater;  // pkxupdate.exe, the stub of every test's updater
    // Where the tests lay out their installations, and where screenshots go
    // (empty: none taken), as Windows and as Unix paths.
    std::string work, workUnix, screenshots, screenshotsUnix;
};
DriverOptions& Options();
// This program: copies of it serve as helper programs (see gui_support.cpp).
std::string DriverPath();

// The built-in texts as the updater loads them on this system; `Expand`
// fills a template as the updater does.
const char* Text(uint32_t id);
std::string Expand(uint32_t id, const char* value1 = nullptr, const char* value2 = nullptr,
                   const char* value3 = nullptr);
// A string of the updater's resource table (the start-up texts).
std::string ResourceText(uint32_t id);
inline constexpr char kProgramTitle[] = "pkx Self Extract Updater";

// How long a test waits for something the updater should do.
inline constexpr DWORD kWaitMs = 30000;
bool WaitUntil(const std::function<bool()>& condition, DWORD timeout = kWaitMs);
std::string TextOf(HWND window);
inline std::string ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }
inline bool ItemEnabled(HWND dialog, int id) {
    return IsWindowEnabled(GetDlgItem(dialog, id)) != 0;
}
bool ItemChecked(HWND dialog, int id);
// In the middle of the screen (half the difference of the sizes, truncated).
bool IsCentered(HWND window);
int BarPosition(HWND dialog, int id);
// Posted: the dialog's own thread handles the press, the caller goes on.
inline void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void SetItemText(HWND dialog, int id, const std::string& text);
// A key press posted to the control that has the focus in `dialog`'s thread.
void PressKey(HWND dialog, UINT key);
// The first visible dialog (#32770) of `pid` for which `match` holds, waited for.
HWND WaitForDialog(DWORD pid, const std::function<bool(HWND)>& match, DWORD timeout = kWaitMs);
HWND WaitForDialogTitled(DWORD pid, const std::string& title);
inline std::string MessageBoxText(HWND box) { return ItemText(box, 0xFFFF); }
// The lines of a text (CR LF, CR or LF), without an empty last one.
Log Lines(const std::string& text);
// Whether `needles` occur in `lines` in this order, other lines between.
bool InOrder(const Log& lines, const Log& needles);
inline bool Contains(const Log& lines, const std::string& line) { return InOrder(lines, {line}); }
std::string Joined(const Log& lines);
// <screenshots>/<name>.png of the screen, or of `window` alone, when a
// folder is set.
void Screenshot(const std::string& name, HWND window = nullptr);
// Starts `script` in a Unix shell (Wine starts Unix programs too), not waited for.
bool StartUnixShell(const std::string& script);

// One run of a program at a time; a process still running when the next
// starts or at the end of a test is ended.
class UpdaterProcess {
  public:
    UpdaterProcess() = default;
    UpdaterProcess(const UpdaterProcess&) = delete;
    UpdaterProcess& operator=(const UpdaterProcess&) = delete;
    ~UpdaterProcess() { End(); }
    // `folder` empty: the driver's current folder.
    bool Start(const std::string& program, const std::string& arguments,
               const std::string& folder = "", bool suspended = false);
    void Resume() { ResumeThread(info_.hThread); }
    DWORD Pid() const { return info_.dwProcessId; }
    bool Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
    // The exit code once the process has ended; 999 when it did not end.
    DWORD ExitCode();
    // The progress dialog: the one holding the log.
    HWND ProgressDialog();
    HWND Dialog(const std::string& title) { return WaitForDialogTitled(Pid(), title); }
    // A message box titled `caption` (the progress dialog's separator has the
    // text's ID too).
    HWND MessageBox(const std::string& caption);
    Log LogOf(HWND progress) { return Lines(ItemText(progress, PKX_ID_LOG)); }
    // Waits until the run is over (button 2 reads Close and is enabled); its log.
    Log LogAtEnd(HWND progress);
    DWORD Close(HWND progress) {
        Click(progress, IDCANCEL);
        return ExitCode();
    }

  private:
    void End();
    PROCESS_INFORMATION info_ = {};
};

// Version 1.0 and 2.0 of the test application: app.exe and data\lib.dll
// change, new.txt is added, old.txt deleted, keep.txt stays.
Files AppVersion1();
Files AppVersion2();
// 2.0 and the backups a run from 1.0 leaves of the files it changes or removes.
Files Version2WithBackups();
// A package titled GuiApp taking `before` to `after`, found at the fixed
// path `folder` (no source when empty).
PackageModel PackageBetween(const Files& before, const Files& after, const std::string& folder,
                            const std::string& oldLabel = "1.0",
                            const std::string& newLabel = "2.0");
// `model` with its last update's stream malformed (a literal run longer than
// its block), so that it fails after the files before it were written.
PackageModel Failing(PackageModel model);
// A folder source: `path` below special folder `folder` (0xFF: none).
inline packwriter::FolderSourceModel FixedSource(uint8_t folder, const std::string& path) {
    return {3, folder, path, "", "", {}};
}
// Writes the stub followed by one package or a container of several.
bool WriteUpdaterBytes(const std::string& path, const std::vector<Bytes>& packages,
                       std::string* error);
Bytes Built(const PackageModel& model);
std::string FreshFolder(const std::string& folder);
inline Files FilesIn(const std::string& folder) { return test::FilesOf(test::ListTree(folder)); }

// A folder of the test's own holding the installation and the updater.
class GuiTest : public testing::Test {
  protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string(info->test_suite_name()) + "." + info->name();
        folder_ = FreshFolder(Options().work + "\\" + name);
        unixFolder_ = Options().workUnix + "/" + name;
        install_ = folder_ + "\\install";
        updater_ = folder_ + "\\update.exe";
    }
    void Prepare(const Files& installed, const std::vector<PackageModel>& packages) {
        ASSERT_TRUE(PutFiles(install_, installed));
        std::vector<Bytes> built;
        for (const PackageModel& model : packages) built.push_back(Built(model));
        std::string error;
        ASSERT_TRUE(WriteUpdaterBytes(updater_, built, &error)) << error;
    }
    PackageModel Standard() const { return PackageBetween(AppVersion1(), AppVersion2(), install_); }
    void Start(const std::string& arguments = "") {
        ASSERT_TRUE(run_.Start(updater_, arguments)) << GetLastError();
    }
    static std::string TitleFor(const char* from = "1.0", const char* to = "2.0") {
        return Expand(1008, "GuiApp", from, to);
    }
    std::string At(const std::string& name) const { return install_ + "\\" + name; }

    std::string folder_, unixFolder_, install_, updater_;
    UpdaterProcess run_;  // the updater's run; a new start ends the one before
};

}  // namespace pkx::gui
