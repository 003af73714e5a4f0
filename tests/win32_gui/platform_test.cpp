// The Win32 platform layer against the real system under Wine, each part as
// the folder source or running check of a real run: registry values, INI
// files, the special folders, a running program and an open window.
#include <shlobj.h>

#include "platform/win32/win32_platform.h"
#include "tests/win32_gui/gui_test.h"

namespace pkx::gui {
namespace {

constexpr char kRegistryKey[] = "Software\\pkx-gui-test";

std::string WithoutTrailingBackslash(std::string path) {
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

bool SetUserValue(const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result =
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

using Win32PlatformTest = GuiTest;

// An empty registry value and a missing INI key count as not found: the
// next source is tried.
TEST_F(Win32PlatformTest, RegistryIniAndSpecialFolderSourcesFindTheInstallation) {
    ASSERT_TRUE(SetUserValue("InstallDir", install_));
    ASSERT_TRUE(SetUserValue("Empty", ""));
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string ini = std::string(windows) + "\\pkx-gui-test.ini";
    ASSERT_TRUE(test::WriteFile(ini, "[Install]\r\nDir=" + install_ + "\r\n"));
    char personal[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, personal), S_OK);
    const struct {
        const char* what;
        std::vector<packwriter::FolderSourceModel> sources;
        std::string folder;
    } kCases[] = {
        {"registry, current user",
         {{1, 1, kRegistryKey, "Empty", "", {}}, {1, 1, kRegistryKey, "InstallDir", "", {}}},
         install_},
        {"INI file in the Windows folder (index 0)",
         {{2, 0, "pkx-gui-test.ini", "Install", "Other", {}},
          {2, 0, "pkx-gui-test.ini", "Install", "Dir", {}}},
         install_},
        {"below the personal folder (index 5)",
         {FixedSource(5, "pkx-gui-test\\App")},
         WithoutTrailingBackslash(personal) + "\\pkx-gui-test\\App"},
    };
    for (const auto& c : kCases) {
        SetUp();
        install_ = FreshFolder(c.folder);
        PackageModel model = PackageBetween(AppVersion1(), AppVersion2(), "");
        model.folderSources = c.sources;
        Prepare(AppVersion1(), {model});
        Start("-F");
        EXPECT_EQ(run_.ExitCode(), 0u) << c.what;
        EXPECT_EQ(Difference(FilesIn(c.folder), AppVersion2()), "") << c.what;
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, kRegistryKey);
    DeleteFileA(ini.c_str());
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
    const std::pair<SpecialFolder, int> kShellFolders[] = {
        {SpecialFolder::kProgramFiles, CSIDL_PROGRAM_FILES},
        {SpecialFolder::kDesktop, CSIDL_DESKTOPDIRECTORY},
        {SpecialFolder::kPersonal, CSIDL_PERSONAL}};
    for (const auto& [folder, csidl] : kShellFolders) {
        ASSERT_TRUE(os.SpecialFolderPath(folder, path, sizeof path)) << csidl;
        ASSERT_EQ(SHGetFolderPathA(nullptr, csidl, nullptr, 0, expected), S_OK);
        // Wine's item lists give the personal folder a trailing backslash;
        // the engine appends one only where it is missing.
        EXPECT_EQ(WithoutTrailingBackslash(path), WithoutTrailingBackslash(expected));
        EXPECT_TRUE(test::IsFolder(path)) << path;
    }
}

// A program found running by its process name or its window stops an
// unattended run; with the wait flag the run goes on once it has ended.
TEST_F(Win32PlatformTest, ARunningProgramOrOpenWindowStopsTheUpdateOrIsWaitedFor) {
    const std::string runner = folder_ + "\\GuiRunner.exe";
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), runner.c_str(), FALSE));
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PkxGuiProbeClass";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("PkxGuiProbeClass", "Pkx Probe Window", WS_OVERLAPPEDWINDOW, 0, 0,
                                200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    Platform& os = NativePlatform();
    EXPECT_TRUE(os.FindTopWindow("Pkx Probe Window", "PkxGuiProbeClass"));
    EXPECT_TRUE(os.FindTopWindow("Pkx Probe Window", nullptr));
    EXPECT_TRUE(os.FindTopWindow(nullptr, "PkxGuiProbeClass"));
    EXPECT_FALSE(os.FindTopWindow("Another Title", "PkxGuiProbeClass"));
    {
        UpdaterProcess running;  // ended when the block ends
        ASSERT_TRUE(running.Start(runner, "60000"));
        for (const bool byWindow : {false, true}) {
            PackageModel model = Standard();
            model.runningCheck.kind = byWindow ? 1 : 2;
            model.runningCheck.processName = "GUIRUNNER.EXE";
            model.runningCheck.windowTitle = "Pkx Probe Window";
            model.runningCheck.windowClass = "PkxGuiProbeClass";
            Prepare(AppVersion1(), {model});
            Start("-F");
            HWND dialog = run_.ProgressDialog();
            const Log log = run_.LogAtEnd(dialog);
            EXPECT_TRUE(InOrder(log, {Expand(1022, "GuiApp"), Text(1023), Text(1024)}))
                << Joined(log);
            EXPECT_FALSE(Contains(log, Text(1020)));
            EXPECT_EQ(run_.Close(dialog), 255u);
            EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
        }
    }
    DestroyWindow(window);
    EXPECT_FALSE(os.FindTopWindow("Pkx Probe Window", "PkxGuiProbeClass"));

    PackageModel model = Standard();
    model.runningCheck.kind = 2;
    model.runningCheck.processName = "guirunner.exe";
    model.runningCheck.waitFlag = 1;
    Prepare(AppVersion1(), {model});
    UpdaterProcess briefly;
    ASSERT_TRUE(briefly.Start(runner, "2500"));
    Start();
    HWND box = run_.MessageBox(TitleFor());
    ASSERT_NE(box, nullptr);
    Click(box, IDYES);
    HWND dialog = run_.ProgressDialog();
    ASSERT_TRUE(WaitUntil([&] { return Contains(run_.LogOf(dialog), Expand(1034, "GuiApp")); }))
        << Joined(run_.LogOf(dialog));
    EXPECT_TRUE(Contains(run_.LogAtEnd(dialog), Text(1019)));
    EXPECT_EQ(run_.Close(dialog), 0u);
}

}  // namespace
}  // namespace pkx::gui
