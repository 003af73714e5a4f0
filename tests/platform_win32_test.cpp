// What only the Win32 platform has: both ways of listing running programs
// and the registry. Runs under Wine in the Windows build.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>

#include "engine/special_folders.h"
#include "engine/target_folder.h"
#include "platform/win32/win32_platform.h"

namespace pkx {
namespace {

// The file name of `path` in lower case.
std::string FileNameOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    CharLowerA(&name[0]);
    return name;
}

class Names : public ProcessVisitor {
  public:
    bool Visit(const char* path) override {
        names.insert(FileNameOf(path));
        return true;
    }
    std::set<std::string> names;
};

// Both listings name this program; the module list names loaded libraries too.
TEST(Win32ProcessesTest, BothListingsNameThisProgram) {
    char self[260];
    ASSERT_GT(NativePlatform().ModulePath(self, sizeof self), 0u);
    Names snapshot, modules;
    ASSERT_EQ(win32::EnumerateBySnapshot(snapshot), 0u);
    ASSERT_EQ(win32::EnumerateByModules(modules), 0u);
    EXPECT_EQ(snapshot.names.count(FileNameOf(self)), 1u);
    EXPECT_EQ(modules.names.count(FileNameOf(self)), 1u);
    EXPECT_EQ(modules.names.count("kernel32.dll"), 1u);
}

TEST(Win32RegistryTest, ReadsValuesAndReportsMissingOnes) {
    const char* version = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    char buffer[260] = {};
    ASSERT_EQ(NativePlatform().RegistryValue(RegistryRoot::kLocalMachine, version, "SystemRoot",
                                             buffer, sizeof buffer),
              0u);
    EXPECT_NE(buffer[0], '\0');
    const struct {
        const char *key, *name;
        uint32_t size, result;
    } kCases[] = {{"Software\\pkx-no-such-key", "x", 260, 2},
                  {version, "pkx-no-such-value", 260, 2},
                  {version, "SystemRoot", 2, 234}};  // 234: ERROR_MORE_DATA
    for (const auto& c : kCases) {
        EXPECT_EQ(NativePlatform().RegistryValue(RegistryRoot::kLocalMachine, c.key, c.name, buffer,
                                                 c.size),
                  c.result)
            << c.key << " " << c.name;
    }
}

// Writes `value` as `name` under HKLM\`key` in one view of the registry.
bool WriteRegistryText(REGSAM view, const char* key, const char* name, const char* value) {
    HKEY opened = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE | view, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExA(opened, name, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(value), lstrlenA(value) + 1);
    RegCloseKey(opened);
    return result == ERROR_SUCCESS;
}

// Programs of the other width keep their keys in the other view of the
// registry, which a program does not see by itself on 64-bit Windows: a
// registry source finds the value there. A value in the own view comes
// first; the program files folder is the one of the program's width. The
// i686 build runs this in the 64-bit Wine prefix (ctest pkx_tests_win64) and
// skips it on 32-bit Windows.
TEST(Win32RegistryTest, AValueOnlyTheOtherViewHoldsIsFound) {
#if defined(_WIN64)
    const REGSAM otherView = KEY_WOW64_32KEY;
    const char* programFiles = "C:\\Program Files";
#else
    const REGSAM otherView = KEY_WOW64_64KEY;
    const char* programFiles = "C:\\Program Files (x86)";
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        if (getenv("PKX_EXPECT_64BIT_WINDOWS") != nullptr) FAIL() << "not on 64-bit Windows";
        GTEST_SKIP() << "32-bit Windows";
    }
#endif
    const char* key = "Software\\pkx-test\\OtherView";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    ASSERT_TRUE(WriteRegistryText(otherView, key, "InstallDir", "C:\\Apps\\Other"));
    HKEY own = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &own), ERROR_FILE_NOT_FOUND)
        << "the own view holds the key too";

    LookupRecord step;
    step.stepKind = 1;
    step.index = 2;  // HKEY_LOCAL_MACHINE
    lstrcpyA(step.text1, key);
    lstrcpyA(step.text2, "InstallDir");
    ApplyContext context;
    SpecialFolders folders;
    ASSERT_EQ(ResolveComposite({step}, context, folders), 0u);
    EXPECT_STREQ(context.targetFolder, "C:\\Apps\\Other");

    Platform& os = NativePlatform();
    char buffer[260];
    ASSERT_TRUE(WriteRegistryText(0, key, "InstallDir", "C:\\Apps\\Own"));
    EXPECT_EQ(
        os.RegistryValue(RegistryRoot::kLocalMachine, key, "InstallDir", buffer, sizeof buffer),
        0u);
    EXPECT_STREQ(buffer, "C:\\Apps\\Own");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, otherView, 0);
    // The program files folder, as docs/manifest.md tells vendors.
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kProgramFiles, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, programFiles);
}

}  // namespace
}  // namespace pkx

#endif  // _WIN32
