// The Win32 platform layer against the real system under Wine: registry
// values put in with reg.exe, INI files, the special folders, a running
// program the test starts and a window it opens; each also as the folder
// source or running check of a real run.
#include <shlobj.h>

#include <atomic>
#include <thread>

#include "platform/win32/win32_platform.h"
#include "tests/test_support.h"
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

constexpr char kRegistryKey[] = "Software\\pkx-gui-test";

// Runs a Windows command (reg.exe) to its end; its exit code.
DWORD RunCommand(std::string command) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        return 9999;
    }
    DWORD code = 9998;
    if (WaitForSingleObject(process.hProcess, kWaitMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

std::string WithoutTrailingBackslash(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

class FileNames : public ProcessVisitor {
  public:
    bool Visit(const char* path) override {
        std::string name = path;
        names.push_back(Lower(name.substr(name.find_last_of("\\/") + 1)));
        return true;
    }
    bool Has(const std::string& name) const {
        for (const std::string& seen : names) {
            if (seen == name) return true;
        }
        return false;
    }
    std::vector<std::string> names;
};

class Win32PlatformTest : public GuiTest {
  protected:
    // An unattended run of the standard update that must succeed.
    void ExpectUpdated(const std::string& folder) {
        UpdaterProcess run;
        Start(run, "-F");
        EXPECT_EQ(ExitCodeOf(run), 0u);
        EXPECT_EQ(Difference(FilesIn(folder), AppVersion2()), "");
    }

    // An unattended run that must stop because the program is running.
    void ExpectStoppedAsRunning() {
        UpdaterProcess run;
        Start(run, "-F");
        HWND dialog = run.ProgressDialog();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(run.WaitForRunEnd(dialog));
        const std::vector<std::string> log = run.Log(dialog);
        EXPECT_TRUE(InOrder(log, {Expand(1022, "GuiApp"), Text(1023), Text(1024)})) << Joined(log);
        EXPECT_FALSE(Contains(log, Text(1020)));
        Click(dialog, IDCANCEL);
        EXPECT_EQ(ExitCodeOf(run), 255u);
        EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
    }
};

TEST_F(Win32PlatformTest, RegistryValuesFindTheInstallation) {
    const std::string key = std::string("HKCU\\") + kRegistryKey;
    ASSERT_EQ(RunCommand("reg.exe add " + key + " /v InstallDir /d \"" + install_ + "\" /f"), 0u);
    ASSERT_EQ(RunCommand("reg.exe add " + key + " /v Empty /d \"\" /f"), 0u);
    char value[260];
    ASSERT_EQ(NativePlatform().RegistryValue(RegistryRoot::kCurrentUser, kRegistryKey, "InstallDir",
                                             value, sizeof value),
              0u);
    EXPECT_EQ(std::string(value), install_);
    EXPECT_EQ(NativePlatform().RegistryValue(RegistryRoot::kCurrentUser, kRegistryKey, "Missing",
                                             value, sizeof value),
              2u);

    // An empty value counts as not found; the next source is tried.
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
    model.folderSources = {RegistrySource(1, kRegistryKey, "Empty"),
                           RegistrySource(1, kRegistryKey, "InstallDir")};
    Prepare(AppVersion1(), {model});
    ExpectUpdated(install_);
    RunCommand("reg.exe delete " + key + " /f");
}

TEST_F(Win32PlatformTest, IniValuesFindTheInstallation) {
    const std::string ini = folder_ + "\\app.ini";
    ASSERT_TRUE(test::WriteFile(ini, "[Install]\r\nDir=" + install_ + "\r\n"));
    char value[260];
    EXPECT_EQ(NativePlatform().IniValue(ini.c_str(), "Install", "Dir", value, sizeof value),
              install_.size());
    EXPECT_EQ(std::string(value), install_);
    EXPECT_EQ(NativePlatform().IniValue(ini.c_str(), "Install", "Other", value, sizeof value), 0u);

    // Below a special folder: the Windows folder (index 0).
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string inWindows = std::string(windows) + "\\pkx-gui-test.ini";
    ASSERT_TRUE(test::WriteFile(inWindows, "[Install]\r\nDir=" + install_ + "\r\n"));
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
    model.folderSources = {IniSource(0, "pkx-gui-test.ini", "Install", "Dir")};
    Prepare(AppVersion1(), {model});
    ExpectUpdated(install_);
    DeleteFileA(inWindows.c_str());
}

TEST_F(Win32PlatformTest, SpecialFoldersAreTheSystemsOwn) {
    Platform& os = NativePlatform();
    char path[260];
    char expected[MAX_PATH];
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kWindows, path, sizeof path));
    GetWindowsDirectoryA(expected, MAX_PATH);
    EXPECT_STREQ(path, expected);
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kSystem, path, sizeof path));
    GetSystemDirectoryA(expected, MAX_PATH);
    EXPECT_STREQ(path, expected);
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kWindowsDriveRoot, path, sizeof path));
    EXPECT_EQ(std::string(path), std::string(1, expected[0]) + ":\\");
    const struct {
        SpecialFolder folder;
        int csidl;
    } kShellFolders[] = {{SpecialFolder::kProgramFiles, CSIDL_PROGRAM_FILES},
                         {SpecialFolder::kDesktop, CSIDL_DESKTOPDIRECTORY},
                         {SpecialFolder::kPersonal, CSIDL_PERSONAL}};
    for (const auto& shell : kShellFolders) {
        ASSERT_TRUE(os.SpecialFolderPath(shell.folder, path, sizeof path))
            << static_cast<int>(shell.folder);
        ASSERT_EQ(SHGetFolderPathA(nullptr, shell.csidl, nullptr, 0, expected), S_OK);
        // Wine's item lists give the personal folder a trailing backslash;
        // the engine appends one only where it is missing.
        EXPECT_EQ(WithoutTrailingBackslash(path), WithoutTrailingBackslash(expected));
        EXPECT_TRUE(test::IsFolder(path)) << path;
    }

    // A fixed path below the personal folder (index 5).
    const std::string below = WithoutTrailingBackslash(path) + "\\pkx-gui-test\\App";
    install_ = FreshFolderAt(below);
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
    model.folderSources = {FixedSource(5, "pkx-gui-test\\App")};
    Prepare(AppVersion1(), {model});
    ExpectUpdated(below);
}

TEST_F(Win32PlatformTest, ARunningProgramIsFoundBothWaysAndStopsTheUpdate) {
    const std::string runner = folder_ + "\\GuiRunner.exe";
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), runner.c_str(), FALSE));
    UpdaterProcess running;
    ASSERT_TRUE(running.Start(runner, "60000"));
    FileNames snapshot;
    FileNames modules;
    ASSERT_TRUE(WaitUntil([&] {
        snapshot.names.clear();
        return win32::EnumerateBySnapshot(snapshot) == 0 && snapshot.Has("guirunner.exe");
    }));
    EXPECT_EQ(win32::EnumerateByModules(modules), 0u);
    EXPECT_TRUE(modules.Has("guirunner.exe"));

    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.runningCheck.kind = 2;
    model.runningCheck.processName = "GUIRUNNER.EXE";
    Prepare(AppVersion1(), {model});
    ExpectStoppedAsRunning();
}

TEST_F(Win32PlatformTest, AWaitingCheckGoesOnOnceTheProgramHasEnded) {
    const std::string runner = folder_ + "\\GuiRunner.exe";
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), runner.c_str(), FALSE));
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.runningCheck.kind = 2;
    model.runningCheck.processName = "guirunner.exe";
    model.runningCheck.waitFlag = 1;
    model.deleteBackupsDefault = 0;
    Prepare(AppVersion1(), {model});
    UpdaterProcess running;
    ASSERT_TRUE(running.Start(runner, "2500"));
    UpdaterProcess run;
    Start(run);
    HWND box = run.MessageBox(TitleFor());
    ASSERT_NE(box, nullptr);
    Click(box, IDYES);
    HWND dialog = run.ProgressDialog();
    ASSERT_TRUE(WaitUntil([&] { return Contains(run.Log(dialog), Expand(1034, "GuiApp")); }))
        << Joined(run.Log(dialog));
    ASSERT_TRUE(run.WaitForRunEnd(dialog));
    EXPECT_TRUE(Contains(run.Log(dialog), Text(1019))) << Joined(run.Log(dialog));
    Click(dialog, IDCANCEL);
    EXPECT_EQ(ExitCodeOf(run), 0u);
}

LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

// A top-level window on a thread of its own, as the program to update.
class ProbeWindow {
  public:
    ProbeWindow() : thread_([this] { Run(); }) {
        WaitUntil([this] { return window_ != nullptr; });
    }
    ~ProbeWindow() {
        PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }

  private:
    void Run() {
        WNDCLASSA windowClass;
        ZeroMemory(&windowClass, sizeof windowClass);
        windowClass.lpfnWndProc = ProbeWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "PkxGuiProbeClass";
        RegisterClassA(&windowClass);
        HWND window = CreateWindowA("PkxGuiProbeClass", "Pkx Probe Window", WS_OVERLAPPEDWINDOW, 0,
                                    0, 200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
        window_ = window;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }

    std::atomic<HWND> window_{nullptr};
    std::thread thread_;
};

TEST_F(Win32PlatformTest, AnOpenWindowIsFoundAndStopsTheUpdate) {
    PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), install_);
    model.runningCheck.kind = 1;
    model.runningCheck.windowTitle = "Pkx Probe Window";
    model.runningCheck.windowClass = "PkxGuiProbeClass";
    Prepare(AppVersion1(), {model});
    Platform& os = NativePlatform();
    {
        ProbeWindow window;
        EXPECT_TRUE(os.FindTopWindow("Pkx Probe Window", "PkxGuiProbeClass"));
        EXPECT_TRUE(os.FindTopWindow("Pkx Probe Window", nullptr));
        EXPECT_TRUE(os.FindTopWindow(nullptr, "PkxGuiProbeClass"));
        EXPECT_FALSE(os.FindTopWindow("Another Title", "PkxGuiProbeClass"));
        ExpectStoppedAsRunning();
    }
    EXPECT_FALSE(os.FindTopWindow("Pkx Probe Window", "PkxGuiProbeClass"));
}

}  // namespace
}  // namespace pkx::gui
