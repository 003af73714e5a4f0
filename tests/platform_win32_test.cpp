// What only the Win32 platform has: both ways of listing running programs
// and the registry. Runs under Wine in the Windows build.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/special_folders.h"
#include "engine/target_folder.h"
#include "platform/win32/win32_platform.h"

namespace pkx {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string FileNameOf(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    return Lower(separator == std::string::npos ? path : path.substr(separator + 1));
}

class Names : public ProcessVisitor {
  public:
    bool Visit(const char* path) override {
        names.push_back(FileNameOf(path));
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

std::string OwnFileName() {
    char path[260];
    EXPECT_GT(NativePlatform().ModulePath(path, sizeof path), 0u);
    return FileNameOf(path);
}

TEST(Win32ProcessesTest, TheSnapshotListsThisProgram) {
    Names names;
    ASSERT_EQ(win32::EnumerateBySnapshot(names), 0u);
    EXPECT_TRUE(names.Has(OwnFileName()));
}

TEST(Win32ProcessesTest, TheModuleListAlsoNamesLoadedLibraries) {
    Names names;
    ASSERT_EQ(win32::EnumerateByModules(names), 0u);
    EXPECT_TRUE(names.Has(OwnFileName()));
    EXPECT_TRUE(names.Has("kernel32.dll"));
}

TEST(Win32ProcessesTest, OsKindIsOneOfTheKnownKinds) {
    int kind = win32::OsKind();
    EXPECT_TRUE(kind == -1 || (kind >= 1 && kind <= 6)) << kind;
}

TEST(Win32RegistryTest, ReadsValuesAndReportsMissingOnes) {
    Platform& os = NativePlatform();
    char buffer[260];
    ASSERT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                               buffer, sizeof buffer),
              0u);
    EXPECT_NE(buffer[0], '\0');
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine, "Software\\pkx-no-such-key", "x",
                               buffer, sizeof buffer),
              2u);
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion",
                               "pkx-no-such-value", buffer, sizeof buffer),
              2u);
    char tiny[2];
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine,
                               "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                               tiny, sizeof tiny),
              234u);
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

// A 64-bit program writes its keys in the 64-bit view, which a 32-bit
// program on 64-bit Windows does not see by itself: a registry source finds
// the value there. A value in the own view comes first; the program files
// folder is the one of 32-bit programs. Runs in the 64-bit
// Wine prefix (ctest pkx_tests_win64); skipped on 32-bit Windows.
TEST(Win32RegistryTest, AValueOnlyThe64BitViewHoldsIsFound) {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        if (getenv("PKX_EXPECT_64BIT_WINDOWS") != nullptr) FAIL() << "not on 64-bit Windows";
        GTEST_SKIP() << "32-bit Windows";
    }
    const char* key = "Software\\pkx-test\\App64";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    ASSERT_TRUE(WriteRegistryText(KEY_WOW64_64KEY, key, "InstallDir", "C:\\Apps\\App64"));
    HKEY own = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &own), ERROR_FILE_NOT_FOUND)
        << "the 32-bit view holds the key too";

    LookupRecord step;
    step.stepKind = 1;
    step.index = 2;  // HKEY_LOCAL_MACHINE
    lstrcpyA(step.text1, key);
    lstrcpyA(step.text2, "InstallDir");
    ApplyContext context;
    SpecialFolders folders;
    ASSERT_EQ(ResolveComposite({step}, context, folders), 0u);
    EXPECT_STREQ(context.targetFolder, "C:\\Apps\\App64");

    Platform& os = NativePlatform();
    char buffer[260];
    ASSERT_TRUE(WriteRegistryText(0, key, "InstallDir", "C:\\Apps\\App32"));
    EXPECT_EQ(
        os.RegistryValue(RegistryRoot::kLocalMachine, key, "InstallDir", buffer, sizeof buffer),
        0u);
    EXPECT_STREQ(buffer, "C:\\Apps\\App32");
    EXPECT_EQ(os.RegistryValue(RegistryRoot::kLocalMachine, key, "pkx-no-such-value", buffer,
                               sizeof buffer),
              2u);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
    // The program files folder, as docs/manifest.md tells vendors.
    ASSERT_TRUE(os.SpecialFolderPath(SpecialFolder::kProgramFiles, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "C:\\Program Files (x86)");
}

}  // namespace
}  // namespace pkx

#endif  // _WIN32
