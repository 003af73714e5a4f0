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
// next source is tried. A fixed path lies below a special folder (index 0:
// the Windows folder, the INI file's; 1 to 5 the others, as the shell names them).
TEST_F(Win32PlatformTest, RegistryIniAndSpecialFolderSourcesFindTheInstallation) {
    ASSERT_TRUE(SetUserValue("InstallDir", install_));
    ASSERT_TRUE(SetUserValue("Empty", ""));
    char windows[MAX_PATH], system[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    GetSystemDirectoryA(system, MAX_PATH);
    const std::string ini = std::string(windows) + "\\pkx-gui-test.ini";
    ASSERT_TRUE(test::WriteFile(ini, "[Install]\r\nDir=" + install_ + "\r\n"));
    // Wine's item lists give the personal folder a trailing backslash; the
    // engine appends one only where it is missing.
    auto shell = [](int csidl) {
        char path[MAX_PATH] = {};
        EXPECT_EQ(SHGetFolderPathA(nullptr, csidl, nullptr, 0, path), S_OK) << csidl;
        return WithoutTrailingBackslash(path) + "\\pkx-gui-test\\App";
    };
    const auto below = [](uint8_t folder) {
        return std::vector<packwriter::FolderSourceModel>{FixedSource(folder, "pkx-gui-test\\App")};
    };
    const struct {
        const char* what;
        std::vector<packwriter::FolderSourceModel> sources;
        std::string folder;
    } kCases[] = {
        {"registry, current user",
         {{1, 1, kRegistryKey, "Empty", "", {}}, {1, 1, kRegistryKey, "InstallDir", "", {}}},
         install_},
        {"INI file in the Windows folder",
         {{2, 0, "pkx-gui-test.ini", "Install", "Other", {}},
          {2, 0, "pkx-gui-test.ini", "Install", "Dir", {}}},
         install_},
        {"system folder", below(1), std::string(system) + "\\pkx-gui-test\\App"},
        {"program files", below(2), shell(CSIDL_PROGRAM_FILES)},
        {"root of the Windows drive", below(3), std::string(windows, 2) + "\\pkx-gui-test\\App"},
        {"desktop", below(4), shell(CSIDL_DESKTOPDIRECTORY)},
        {"personal folder", below(5), shell(CSIDL_PERSONAL)},
    };
    for (const auto& c : kCases) {
        // Under Wine the desktop and the personal folder are one folder on
        // disk: only their names tell them apart.
        char path[MAX_PATH];
        const auto folder = static_cast<SpecialFolder>(c.sources[0].index);
        if (c.sources[0].kind == 3 && NativePlatform().SpecialFolderPath(folder, path, MAX_PATH)) {
            EXPECT_EQ(WithoutTrailingBackslash(path) + "\\pkx-gui-test\\App", c.folder);
        }
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

// A program found running by its process name or its window stops an
// unattended run.
TEST_F(Win32PlatformTest, ARunningProgramOrOpenWindowStopsTheUpdate) {
    const std::string runner = folder_ + "\\GuiRunner.exe";
    ASSERT_TRUE(CopyFileA(DriverPath().c_str(), runner.c_str(), FALSE));
    UpdaterProcess running;
    ASSERT_TRUE(running.Start(runner, "60000"));
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "PkxGuiProbeClass";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("PkxGuiProbeClass", "Pkx Probe Window", WS_OVERLAPPEDWINDOW, 0, 0,
                                200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
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
        EXPECT_TRUE(InOrder(log, {Expand(1022, "GuiApp"), Text(1023), Text(1024)})) << Joined(log);
        EXPECT_FALSE(Contains(log, Text(1020)));
        EXPECT_EQ(run_.Close(dialog), 255u);
        EXPECT_EQ(Difference(FilesIn(install_), AppVersion1()), "");
    }
    DestroyWindow(window);
}

}  // namespace
}  // namespace pkx::gui
